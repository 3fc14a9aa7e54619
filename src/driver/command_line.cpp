#include "driver/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "run/measurements.h"

namespace {

constexpr int EXIT_USAGE = 64;

const char* program_name(char** arg_vector)
{
    return arg_vector != nullptr && arg_vector[0] != nullptr ? arg_vector[0] : "ovrel-bench";
}

[[noreturn]] void reject(const char* format, const char* word, char** arg_vector)
{
    fprintf(stderr, format, word);
    print_usage(arg_vector);
}

// A whole decimal number and nothing else: no sign, blank, point or unit.
bool parse_whole(const char* text, uint64_t limit, uint64_t* value)
{
    if (*text == '\0')
        return false;
    uint64_t result = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (result > (limit - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

void set_trials(const char* value, char** arg_vector, RunParameters& parameters)
{
    uint64_t trials = 0;
    if (!parse_whole(value, INT32_MAX, &trials) || trials < 1)
        reject("Invalid number of trials: %s\n", value, arg_vector);
    parameters.trials = static_cast<int32_t>(trials);
}

// Whole GiB, or a whole number with a binary unit: K, M, G or T.
void set_file_size(const char* value, char** arg_vector, RunParameters& parameters)
{
    const size_t length = strlen(value);
    const char* const units = "KMGT";
    const char last = length > 0 ? value[length - 1] : '\0';
    const char* unit = last != '\0' ? strchr(units, last >= 'a' ? last - ('a' - 'A') : last) : nullptr;
    const unsigned shift = unit != nullptr ? 10 * static_cast<unsigned>(unit - units + 1) : 30;
    const std::string digits(value, unit != nullptr ? length - 1 : length);
    uint64_t count = 0;
    if (!parse_whole(digits.c_str(), UINT64_MAX >> shift, &count))
        reject("Invalid file size: %s\n", value, arg_vector);
    const uint64_t bytes = count << shift;
    // A size under one block would round down to no transfer at all and
    // print rates of nothing; only an explicit 0 asks for that.
    if (bytes != 0 && bytes < BLOCK_SIZE)
        reject("File size %s is less than one 4 MiB block: the smallest is 4M (or 0 for no transfer)\n", value,
               arg_vector);
    // Only whole blocks are transferred; the report says when that cut the size.
    parameters.file_size = bytes / BLOCK_SIZE * BLOCK_SIZE;
    parameters.file_size_rounded = parameters.file_size != bytes ? value : nullptr;
    parameters.file_size_given = true;
}

void set_seed(const char* value, char** arg_vector, RunParameters& parameters)
{
    uint64_t seed = 0;
    if (!parse_whole(value, UINT32_MAX, &seed))
        reject("Invalid seed: %s (a whole number below 4294967296)\n", value, arg_vector);
    parameters.seed = static_cast<uint32_t>(seed);
    parameters.seed_given = true;
}

void set_only(const char* value, char** arg_vector, RunParameters& parameters)
{
    if (strcmp(value, "memory") == 0)
        parameters.phases = PHASE_MEMORY;
    else if (strcmp(value, "disk") == 0)
        parameters.phases = PHASE_DISK;
    else
        reject("Invalid value for --only: %s (memory or disk)\n", value, arg_vector);
}

void set_directory(const char* value, char**, RunParameters& parameters)
{
    parameters.directory = value;
}

void set_export_json(const char* value, char**, RunParameters& parameters)
{
    parameters.export_json = value;
}

void set_label(const char* value, char**, RunParameters& parameters)
{
    parameters.label = value;
}

void set_direct(const char*, char**, RunParameters& parameters)
{
    parameters.direct_io = true;
}

void set_cold(const char*, char**, RunParameters& parameters)
{
    parameters.cold = true;
}

void set_yes(const char*, char**, RunParameters& parameters)
{
    parameters.assume_yes = true;
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

// What an option may be combined with: those marked DISK_ONLY mean nothing
// in a run without the disk passes.
constexpr unsigned ANY_RUN = 0;
constexpr unsigned DISK_ONLY = 1;

struct Option {
    const char* word;
    const char* short_word;  // or null
    const char* value_name;  // shown in the usage message; null when it takes no value
    unsigned needs;          // ANY_RUN or DISK_ONLY
    const char* help;        // one line of the usage message, with the default
    void (*apply)(const char* value, char** arg_vector, RunParameters& parameters);
};

constexpr Option OPTIONS[] = {
    {"--help", "-h", nullptr, ANY_RUN, "print this message and exit with status 64", show_help},
    {"--trials", nullptr, "N", ANY_RUN, "run N trials, a whole number of at least 1 (default 3)", set_trials},
    {"--file-size", nullptr, "SIZE", DISK_ONLY,
     "whole GiB (8) or 512M, 2G, 1T; at least 4M, or 0 for no transfer (default: twice the memory)",
     set_file_size},
    {"--directory", nullptr, "DIR", DISK_ONLY, "measure the file system of DIR (default: the working directory)",
     set_directory},
    {"--only", nullptr, "memory|disk", ANY_RUN, "run only the memory sweeps or only the disk passes (default: both)",
     set_only},
    {"--direct", nullptr, nullptr, DISK_ONLY, "open the scratch file with direct I/O (default: buffered)", set_direct},
    {"--cold", nullptr, nullptr, DISK_ONLY,
     "time each write to its fsync, drop the file's cached pages before each read; file size a quarter of the "
     "memory unless given (default: off)",
     set_cold},
    {"--yes", "-y", nullptr, ANY_RUN, "do not wait for the return key (default: wait)", set_yes},
    {"--export-json", nullptr, "FILE", ANY_RUN, "write the run record to FILE after the run (default: none)",
     set_export_json},
    {"--label", nullptr, "TEXT", ANY_RUN, "keep TEXT in the run record (default: none)", set_label},
    {"--seed", nullptr, "N", ANY_RUN,
     "replay the written bytes and shuffled order of the run with seed N (default: the clock)", set_seed},
    {"--version", nullptr, nullptr, ANY_RUN, "print the version and exit", show_version},
};

// The option that `word` names, as "--name", "-n" or "--name=value"; in the
// last case `*inline_value` points at the value.
const Option* find_option(const char* word, const char** inline_value)
{
    *inline_value = nullptr;
    for (const Option& option : OPTIONS) {
        if (strcmp(word, option.word) == 0 || (option.short_word != nullptr && strcmp(word, option.short_word) == 0))
            return &option;
        const size_t length = strlen(option.word);
        if (option.value_name != nullptr && strncmp(word, option.word, length) == 0 && word[length] == '=') {
            *inline_value = word + length + 1;
            return &option;
        }
    }
    return nullptr;
}

// A word that is no option: most likely a directory meant for --directory,
// which must not silently start a run of hours in the working directory.
[[noreturn]] void reject_stray_word(const char* word, char** arg_vector)
{
    struct stat status;
    if (stat(word, &status) == 0 && S_ISDIR(status.st_mode))
        fprintf(stderr, "Unexpected argument: %s (to measure a directory: --directory %s)\n", word, word);
    else
        fprintf(stderr, "Unexpected argument: %s\n", word);
    print_usage(arg_vector);
}

} // namespace

void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters)
{
    // The first option given that only the disk passes use.
    const char* disk_option = nullptr;
    // The scan starts at the program's own name, like every other word.
    for (int i = 0; i < arg_count; ++i) {
        const char* value = nullptr;
        const Option* option = find_option(arg_vector[i], &value);
        if (option == nullptr) {
            // A typo or a stray word must not start a run of hours with the
            // defaults; only the program's own name is no argument.
            if (i == 0)
                continue;
            if (arg_vector[i][0] == '-')
                reject("Unknown option: %s\n", arg_vector[i], arg_vector);
            reject_stray_word(arg_vector[i], arg_vector);
        }
        if (option->value_name != nullptr && value == nullptr) {
            if (i + 1 >= arg_count)
                reject("Missing value for %s\n", option->word, arg_vector);
            value = arg_vector[++i];
        }
        if (option->needs == DISK_ONLY && disk_option == nullptr)
            disk_option = option->word;
        option->apply(value, arg_vector, parameters);
    }
    if ((parameters.phases & PHASE_DISK) == 0 && disk_option != nullptr)
        reject("%s means nothing with --only memory: the run has no disk passes\n", disk_option, arg_vector);
    // A cold run reaches the disk without a file larger than the memory.
    if (parameters.cold && !parameters.file_size_given)
        parameters.file_size = cold_file_size(parameters.phys_mem);
}

void print_usage(char** arg_vector)
{
    fprintf(stderr, "Usage: %s [--help] [--trials N] [--file-size GiB]\n", program_name(arg_vector));
    fputs("Options:\n", stderr);
    for (const Option& option : OPTIONS) {
        std::string words = option.word;
        if (option.value_name != nullptr)
            words = words + " " + option.value_name;
        if (option.short_word != nullptr)
            words = words + ", " + option.short_word;
        fprintf(stderr, "  %-22s %s\n", words.c_str(), option.help);
    }
    exit(EXIT_USAGE);
}
