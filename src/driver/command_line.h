// The command line of the benchmark.
#pragma once

#include "run/run_parameters.h"

// Applies the options to `parameters`, which already holds the defaults.
// "--help", "--version", unknown options and bad values end the process.
void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters);
// Writes the usage message to standard error and exits with status 64.
[[noreturn]] void print_usage(char** arg_vector);
