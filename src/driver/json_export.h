// The run's results as one JSON document, for scripts and dashboards.
#pragma once

#include <string>
#include <vector>

#include "driver/run_parameters.h"
#include "driver/trials.h"

struct ExportTarget {
    std::string path;          // absolute, so a later change of directory does not move it
    std::string started_at;    // UTC, ISO 8601
    std::vector<std::string> command_line;
};

// Resolves the path and makes sure a document can be written beside it;
// ends the run with a message when it cannot, before anything is measured.
ExportTarget prepare_export(const char* path, int arg_count, char** arg_vector);

// Writes the document to a temporary file beside the target and renames it
// into place, so that no reader ever sees half a document. Returns false,
// after a message on standard error, when it could not be written.
bool write_export(const ExportTarget& target, const RunParameters& parameters,
                  const std::vector<TrialTimes>& times, const TrialTotals& totals);
