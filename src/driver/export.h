// The run record: built from the run's times and written with --export-json.
#pragma once

#include <string>
#include <vector>

#include "driver/trials.h"
#include "record/run_record.h"
#include "run/run_parameters.h"

struct ExportTarget {
    std::string path;          // absolute, so a later change of directory does not move it
    std::string started_at;    // UTC, ISO 8601: when the run began, after the return key
    std::vector<std::string> command_line;
};

// Resolves the path and makes sure a record can be written there: the
// target is a regular file or nothing, not the scratch file of the directory
// to measure (`measured_directory`, null for the working directory), and the
// directory takes a new file and lets this user replace the target. Ends the
// run with a message when it cannot, before anything is measured.
ExportTarget prepare_export(const char* path, const char* measured_directory, int arg_count, char** arg_vector);
// Notes the moment the run begins.
void mark_export_started(ExportTarget* target);

// The record of the trials in `times`; complete when they are all the trials asked for.
RunRecord make_run_record(const ExportTarget& target, const RunParameters& parameters,
                          const std::vector<TrialTimes>& times, uint64_t seed);

// Writes the record to a temporary file beside the target, renames it
// into place, so that no reader ever sees half a document, and flushes the
// directory, so that the new name survives a crash; signals wait meanwhile.
// Returns false, after a message on standard error, when it could not be written.
bool write_export(const ExportTarget& target, const RunRecord& record);
