// What differs between the systems the benchmark runs on. One file per
// system implements this header; the build picks the one for its target.
#pragma once

#include <cstdint>
#include <string>

// The file system that holds a path.
struct FileSystemInfo {
    std::string type;     // "ufs", "zfs", "ext4", ...
    std::string source;   // the device or data set it is mounted from
    std::string options;  // its mount options, comma-separated
};

// The commands of the machine description, by the place they take in it.
// Each prints what its system can tell; a missing command only shows its absence.
struct ReportCommands {
    const char* cpu_model;
    const char* cpu_count;
    const char* disks;
    const char* raid_adapter;
    const char* raid_config;
    const char* mounts;
    const char* disk_free;
    const char* pools;
};

// Space the user may still take on a file system: `available_blocks` is
// signed because FreeBSD's goes negative when root eats into the reserve.
struct FreeSpace {
    int64_t available_blocks;
    uint64_t block_size;
};

// The processor's model name, "unknown" when the system does not say.
std::string platform_cpu_model();
// False (and `info` untouched) when the file system of `path` cannot be found.
bool platform_file_system(const char* path, FileSystemInfo* info);
const ReportCommands& platform_report_commands();
// The open flag that bypasses the page cache, 0 where the system has none.
int platform_direct_io_flag();
// False with errno set when the free space cannot be read.
bool platform_free_space(const char* path, FreeSpace* space);
// Writes the file's data to stable storage; 0, or -1 with errno set.
int platform_flush_file(int fd);
// Asks the system to drop the file's clean pages from its cache, so that
// the next read comes from the device: posix_fadvise DONTNEED, which Linux
// obeys; on FreeBSD, which only moves the pages to the inactive queue, also
// msync MS_INVALIDATE over a mapping of the file. ZFS's ARC ignores both:
// platform_resident_bytes tells what stayed. 0, or an errno value.
int platform_drop_cached_pages(int fd);
// Bytes of the file's first `size` bytes that are in memory now (mincore on
// a read-only mapping, a window at a time). 0, or the errno value of what
// kept it from being told.
int platform_resident_bytes(int fd, uint64_t size, uint64_t* resident);
// The unit in which the system counts the CPU time a hypervisor took (a
// clock tick), in µs; 0 where it does not count it.
int64_t platform_steal_tick_us();
// The signal by which the operator asks a running command how far it is:
// SIGINFO (Ctrl-T) where the system has it, SIGUSR1 elsewhere; and its name.
int platform_status_signal();
const char* platform_status_signal_name();
// Memory straight from the system for one array: pages never handed out
// before in this process (an allocator may give back the last array's,
// already in memory on FreeBSD), zero-filled and brought in by the first
// touch. Null when the system refuses. Given back with platform_unmap_memory.
void* platform_map_memory(uint64_t size);
void platform_unmap_memory(void* memory, uint64_t size);

// Counters of the whole machine, read just outside each measurement.
struct MachineCounters {
    bool steal_known;     // false where the system does not count it
    uint64_t steal_us;    // CPU time a hypervisor took from this machine, all CPUs, since boot
    int64_t runnable;     // threads ready to run now, this one included; -1 when unknown
    bool swap_known;
    uint64_t swap_bytes;  // bytes swapped in and out since boot
};
bool platform_machine_counters(MachineCounters* counters);

// Chooses the block device whose transfers platform_device_bytes counts:
// the one holding `path` (the whole disk, for a partition). False, with
// nothing chosen, where no block device holds it (tmpfs, network file
// systems, a ZFS pool of several disks); `*name` is then the reason.
bool platform_watch_device(const char* path, std::string* name);
// Bytes the chosen device has read and written since boot.
bool platform_device_bytes(uint64_t* read_bytes, uint64_t* written_bytes);

// The most CPUs the benchmark puts workers on.
constexpr int32_t CPUS_MAX = 1024;
// The CPUs this process may run on (its affinity: taskset and cgroup
// cpusets on Linux, cpuset(1) on FreeBSD), in increasing order, at most
// `max` of them; their count, or 0 when the system does not tell.
int32_t platform_usable_cpus(int32_t* cpus, int32_t max);
// Binds the calling thread to `cpu` alone; 0, or an errno value.
int platform_pin_thread(int32_t cpu);
// The CPU the calling thread is running on now; -1 where the system does not say.
int32_t platform_current_cpu();
// Bytes of last-level cache in the whole machine: one cache's size times the
// number of such caches; 0 where the system does not tell.
uint64_t platform_last_level_cache_bytes();
