#include "driver/command_line.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "measure/result.h"
#include "platform/platform.h"
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

// A whole number with a binary unit (K, M, G or T; `bare_shift` without
// one) into `*bytes`; false when it is not one or does not fit 64 bits.
bool parse_size(const char* value, unsigned bare_shift, uint64_t* bytes)
{
    const size_t length = strlen(value);
    const char* const units = "KMGT";
    const char last = length > 0 ? value[length - 1] : '\0';
    const char* unit = last != '\0' ? strchr(units, last >= 'a' ? last - ('a' - 'A') : last) : nullptr;
    const unsigned shift = unit != nullptr ? 10 * static_cast<unsigned>(unit - units + 1) : bare_shift;
    const std::string digits(value, unit != nullptr ? length - 1 : length);
    uint64_t count = 0;
    if (!parse_whole(digits.c_str(), UINT64_MAX >> shift, &count))
        return false;
    *bytes = count << shift;
    return true;
}

// Whole GiB, or a whole number with a binary unit: K, M, G or T. Rounded
// to whole blocks once the block size and the jobs are known.
void set_file_size(const char* value, char** arg_vector, RunParameters& parameters)
{
    if (!parse_size(value, 30, &parameters.file_size_asked))
        reject("Invalid file size: %s\n", value, arg_vector);
    parameters.file_size_rounded = value;
    parameters.file_size_given = true;
}

// A power of two from 4K to 64M, with its unit.
void set_block_size(const char* value, char** arg_vector, RunParameters& parameters)
{
    uint64_t bytes = 0;
    const size_t length = strlen(value);
    const bool has_unit = length > 0 && strchr("KMGTkmgt", value[length - 1]) != nullptr;
    if (!has_unit || !parse_size(value, 0, &bytes) || bytes < BLOCK_SIZE_MIN || bytes > BLOCK_SIZE_MAX ||
        (bytes & (bytes - 1)) != 0)
        reject("Invalid block size: %s (a power of two from 4K to 64M)\n", value, arg_vector);
    parameters.block_size = bytes;
}

void set_jobs(const char* value, char** arg_vector, RunParameters& parameters)
{
    uint64_t jobs = 0;
    if (!parse_whole(value, JOBS_MAX, &jobs) || jobs < 1)
        reject("Invalid number of jobs: %s (a whole number from 1 to 256)\n", value, arg_vector);
    parameters.jobs = static_cast<int32_t>(jobs);
}

// The CPUs of the workers, in the order of the CPUs the process may use.
int32_t chosen_cpus[CPUS_MAX];

// A number of CPUs, or all the process may use: each must be online and
// in the process's affinity (taskset, a cgroup's or a jail's cpuset).
void set_cores(const char* value, char** arg_vector, RunParameters& parameters)
{
    const bool all = strcmp(value, "all") == 0;
    uint64_t cores = 0;
    if (!all && (!parse_whole(value, CPUS_MAX, &cores) || cores < 1))
        reject("Invalid number of cores: %s (a whole number from 1, or all)\n", value, arg_vector);
    const int32_t usable = platform_usable_cpus(chosen_cpus, CPUS_MAX);
    if (usable < 1) {
        fputs("Cannot tell which CPUs this process may use: --cores cannot pin its workers\n", stderr);
        exit(EXIT_USAGE);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (!all && online > 0 && cores > static_cast<uint64_t>(online)) {
        fprintf(stderr, "--cores %s: only %ld CPUs are online\n", value, online);
        exit(EXIT_USAGE);
    }
    if (!all && cores > static_cast<uint64_t>(usable)) {
        fprintf(stderr, "--cores %s: this process may use only %" PRId32 " CPU%s (its affinity or cpuset)\n", value,
                usable, usable == 1 ? "" : "s");
        exit(EXIT_USAGE);
    }
    parameters.cores = all ? usable : static_cast<int32_t>(cores);
    parameters.cpus = chosen_cpus;
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
constexpr unsigned MEMORY_ONLY = 2;

struct Option {
    const char* word;
    const char* short_word;  // or null
    const char* value_name;  // shown in the usage message; null when it takes no value
    unsigned needs;          // ANY_RUN, DISK_ONLY or MEMORY_ONLY
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
    {"--cores", nullptr, "N|all", MEMORY_ONLY,
     "run the memory sweeps on N CPUs at once, one pinned worker each; all: every CPU this process may use "
     "(default: 1, unpinned)",
     set_cores},
    {"--jobs", nullptr, "N", DISK_ONLY,
     "run the disk passes as N streams at once, each on a file of its own, 1 to 256 (default 1)", set_jobs},
    {"--block-size", nullptr, "SIZE", DISK_ONLY, "transfer the disk passes in blocks of SIZE, a power of two from 4K "
     "to 64M (default 4M)", set_block_size},
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

namespace {

std::string size_words(uint64_t bytes)
{
    char label[SIZE_LABEL_LEN];
    return format_size(bytes, label);
}

// The file, its share for each job and the block size, checked together
// once all options are read; every refusal names what to change.
void settle_file(char** arg_vector, RunParameters& parameters)
{
    const uint64_t block = parameters.block_size;
    const uint64_t jobs = static_cast<uint64_t>(parameters.jobs);
    if (parameters.file_size_given) {
        const uint64_t asked = parameters.file_size_asked;
        const char* value = parameters.file_size_rounded;
        // A size under one block would round down to no transfer at all and
        // print rates of nothing; only an explicit 0 asks for that.
        if (asked != 0 && asked < block) {
            if (block == BLOCK_SIZE)
                reject("File size %s is less than one 4 MiB block: the smallest is 4M (or 0 for no transfer)\n",
                       value, arg_vector);
            fprintf(stderr, "File size %s is less than one block of --block-size %s\n", value,
                    size_words(block).c_str());
            print_usage(arg_vector);
        }
        if (asked != 0 && asked / jobs < block) {
            fprintf(stderr, "File size %s gives each of the %" PRId32 " jobs less than one block of %s\n", value,
                    parameters.jobs, size_words(block).c_str());
            print_usage(arg_vector);
        }
        parameters.file_size = asked;
    }
    // Only whole blocks are transferred, the same number by every job; the
    // report says when that cut a size that was asked for.
    const uint64_t rounded = parameters.file_size / jobs / block * block * jobs;
    if (!parameters.file_size_given || rounded == parameters.file_size_asked)
        parameters.file_size_rounded = nullptr;
    if (rounded == 0 && !parameters.file_size_given) {
        fprintf(stderr, "The default file (%s) gives each of the %" PRId32 " jobs less than one block of %s; give "
                        "--file-size\n",
                size_words(parameters.file_size).c_str(), parameters.jobs, size_words(block).c_str());
        print_usage(arg_vector);
    }
    parameters.file_size = rounded;
    if (rounded == 0)
        return;
    // The shuffled order and the block latencies take 16 bytes a block: a
    // huge file in small blocks must be refused now, not after the notice.
    // (With 4 MiB blocks that is a 64th of a mebibyte a GiB: the free space
    // runs out long before.)
    const uint64_t bookkeeping = parameters.file_size / block * 16;
    if (block != BLOCK_SIZE && bookkeeping > parameters.phys_mem / 4) {
        fprintf(stderr, "A file of %s in %s blocks needs %s to shuffle and time its blocks, more than a quarter of "
                        "the memory; give a larger --block-size\n",
                size_words(parameters.file_size).c_str(), size_words(block).c_str(), size_words(bookkeeping).c_str());
        print_usage(arg_vector);
    }
    // Each job has a buffer to write from and one to read into.
    const uint64_t buffers = 2 * block * jobs;
    if ((parameters.block_size != BLOCK_SIZE || parameters.jobs != 1) && buffers > parameters.phys_mem / 4) {
        fprintf(stderr, "%" PRId32 " jobs of %s blocks need %s of buffers, more than a quarter of the memory\n",
                parameters.jobs, size_words(block).c_str(), size_words(buffers).c_str());
        print_usage(arg_vector);
    }
}

// With several workers the large array must be beyond every cache of the
// machine: at least four times the last level's total, within three
// quarters of the memory; each worker sweeps an equal part of it, in
// whole pages.
void settle_large_array(RunParameters& parameters)
{
    if (parameters.cores <= 1)
        return;
    const uint64_t cache = platform_last_level_cache_bytes();
    const uint64_t limit = parameters.phys_mem / 4 * 3;
    uint64_t size = parameters.large_array_size;
    if (cache > 0 && cache <= limit / 4 && 4 * cache > size)
        size = 4 * cache;
    constexpr uint64_t PAGE = 4096;
    const uint64_t cores = static_cast<uint64_t>(parameters.cores);
    const uint64_t part = size / cores / PAGE * PAGE;
    parameters.large_array_size = (part > 0 ? part : PAGE) * cores;
}

} // namespace

void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters)
{
    // The first option given that only the disk passes use, and the first
    // that only the memory sweeps use.
    const char* disk_option = nullptr;
    const char* memory_option = nullptr;
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
        if (option->needs == MEMORY_ONLY && memory_option == nullptr)
            memory_option = option->word;
        option->apply(value, arg_vector, parameters);
    }
    if ((parameters.phases & PHASE_DISK) == 0 && disk_option != nullptr)
        reject("%s means nothing with --only memory: the run has no disk passes\n", disk_option, arg_vector);
    if ((parameters.phases & PHASE_MEMORY) == 0 && memory_option != nullptr)
        reject("%s means nothing with --only disk: the run has no memory sweeps\n", memory_option, arg_vector);
    // A cold run reaches the disk without a file larger than the memory.
    if (parameters.cold && !parameters.file_size_given)
        parameters.file_size = cold_file_size(parameters.phys_mem);
    if ((parameters.phases & PHASE_DISK) != 0)
        settle_file(arg_vector, parameters);
    settle_large_array(parameters);
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
