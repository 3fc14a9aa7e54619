#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/run_parameters.h"

namespace {

constexpr int EXIT_USAGE = 64;

const char* program_name(char** arg_vector)
{
    return arg_vector != nullptr && arg_vector[0] != nullptr ? arg_vector[0] : "ovrel-bench";
}

// Reads a number the way atoi does (leading blanks, an optional sign,
// decimal digits, anything after them ignored, no digits reading as 0), but
// reports a value that does not fit in an int instead of making one up.
bool convert_int(const char* text, int32_t* value)
{
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > int64_t{INT32_MAX} + 1)
            return false;
    }
    const int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX || result < INT32_MIN)
        return false;
    *value = static_cast<int32_t>(result);
    return true;
}

[[noreturn]] void reject(const char* format, const char* word, char** arg_vector)
{
    fprintf(stderr, format, word);
    print_usage(arg_vector);
}

void set_trials(const char* value, char** arg_vector, RunParameters& parameters)
{
    int32_t trials = 0;
    if (!convert_int(value, &trials) || trials < 1)
        reject("Invalid number of trials: %s\n", value, arg_vector);
    parameters.trials = trials;
}

void set_file_size(const char* value, char** arg_vector, RunParameters& parameters)
{
    int32_t gibibytes = 0;
    // Any int's worth of GiB fits in 64 bits of bytes, so only the
    // conversion and the sign need checking.
    if (!convert_int(value, &gibibytes) || gibibytes < 0)
        reject("Invalid file size: %s\n", value, arg_vector);
    parameters.file_size = static_cast<uint64_t>(gibibytes) << 30;
}

void set_directory(const char* value, char**, RunParameters& parameters)
{
    parameters.directory = value;
}

void set_export_json(const char* value, char**, RunParameters& parameters)
{
    parameters.export_json = value;
}

void set_direct(const char*, char**, RunParameters& parameters)
{
    parameters.direct_io = true;
}

void show_help(const char*, char** arg_vector, RunParameters&)
{
    print_usage(arg_vector);
}

void show_version(const char*, char**, RunParameters&)
{
    printf("ovrel-bench %s\n", OVREL_VERSION);
    exit(0);
}

struct Option {
    const char* word;
    bool takes_value;
    void (*apply)(const char* value, char** arg_vector, RunParameters& parameters);
};

constexpr Option OPTIONS[] = {
    {"--help", false, show_help},
    {"--trials", true, set_trials},
    {"--file-size", true, set_file_size},
    {"--directory", true, set_directory},
    {"--export-json", true, set_export_json},
    {"--direct", false, set_direct},
    {"--version", false, show_version},
};

} // namespace

RunParameters parameters_for_memory(uint64_t phys_mem)
{
    RunParameters parameters{};
    parameters.phys_mem = phys_mem;
    // Twice the memory, so that the page cache cannot hold the file and the
    // read passes reach the disk.
    parameters.file_size = 2 * phys_mem;
    parameters.trials = 3;
    const uint64_t three_quarters = (phys_mem * 3) >> 2;
    parameters.large_array_size = three_quarters >= LARGE_ARRAY_CAP ? LARGE_ARRAY_CAP : three_quarters;
    return parameters;
}

RunParameters init_run_parameters()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    uint64_t phys_mem = 0;
    if (pages > 0 && page_size > 0)
        phys_mem = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
    return parameters_for_memory(phys_mem);
}

void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters)
{
    // The scan starts at the program's own name, like every other word.
    for (int i = 0; i < arg_count; ++i) {
        for (const Option& option : OPTIONS) {
            if (strcmp(arg_vector[i], option.word) != 0)
                continue;
            const char* value = nullptr;
            if (option.takes_value) {
                if (i + 1 >= arg_count)
                    reject("Missing value for %s\n", option.word, arg_vector);
                value = arg_vector[++i];
            }
            option.apply(value, arg_vector, parameters);
            break;
        }
    }
}

void print_usage(char** arg_vector)
{
    const char* name = program_name(arg_vector);
    fprintf(stderr, "Usage: %s [--help] [--trials N] [--file-size GiB]\n", name);
    fprintf(stderr, "%*s[--directory DIR] [--direct] [--export-json FILE] [--version]\n",
            static_cast<int>(strlen("Usage: ") + strlen(name) + 1), "");
    exit(EXIT_USAGE);
}
