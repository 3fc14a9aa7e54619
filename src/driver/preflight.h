// The checks made before the notice: everything that can refuse the run does
// so before anybody waits for it, and before a byte is written.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "run/run_parameters.h"

// Opens /dev/null on any of descriptors 0 to 2 that is closed, so that no
// file the run opens can take their place and receive the report or messages.
void ensure_standard_descriptors();
// Moves into the directory to measure; a missing one ends the run.
void enter_directory(const char* directory);
// Ends the run when the scratch file cannot be made in the working
// directory (read-only, not writable or searchable); `shown` names it.
void check_directory_writable(const char* shown);
// Holds a lock on the working directory for the life of the process, so
// that a second run there is refused instead of sharing the scratch file.
// A file system that cannot lock at all is a warning; any other failure
// ends the run. `shown` names the directory in messages.
void lock_directory(const char* shown);
// Ends the run when something other than a file of the user's own lies under
// the scratch file's name; returns the space a leftover of the user's own holds.
uint64_t check_scratch_name(const char* shown, int32_t job = 0);
// Ends the run when direct I/O cannot be had in the working directory, and
// warns where the file system is known to take the flag and still cache.
void check_direct_io(const char* shown);
// A cold run on a file system whose cache ignores the advice to drop pages
// (ZFS's ARC) is warned about; the run goes on and its notes tell.
void check_cold();

// Bytes the user may still take: a negative count of blocks is none, and a
// product too large for 64 bits is the largest count there is.
uint64_t usable_bytes(const FreeSpace& space);
// Whether `needed` bytes fit in `usable` plus the space of a leftover
// scratch file that the run will overwrite (`leftover`, 0 when none).
bool scratch_fits(uint64_t needed, uint64_t usable, uint64_t leftover);
// Ends the run when the scratch file's whole blocks would not fit; says so
// and goes on when the free space cannot be read.
void check_free_space(const RunParameters& parameters, uint64_t leftover);

// Whether the run's read passes will be served from the page cache rather
// than the disk, as its plan line warns.
bool plan_measures_page_cache(const RunParameters& parameters);
// One line on standard error: what the run is about to do.
void print_plan(const RunParameters& parameters, const char* shown);

// Ends the run with status 1 when the report could not be written to
// standard output (a full disk under a redirected report, say): a run whose
// figures were lost must not look like a success.
void check_report_written();
// The two halves of that: whether everything printed so far has been
// written, and the message and exit of a report that was not (errno as
// report_written left it).
bool report_written();
[[noreturn]] void fail_report();
