#include "driver/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    // Only whole blocks are transferred; the report says when that cut the size.
    parameters.file_size = bytes / BLOCK_SIZE * BLOCK_SIZE;
    parameters.file_size_rounded = parameters.file_size != bytes ? value : nullptr;
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

struct Option {
    const char* word;
    const char* short_word;  // or null
    bool takes_value;
    void (*apply)(const char* value, char** arg_vector, RunParameters& parameters);
};

constexpr Option OPTIONS[] = {
    {"--help", "-h", false, show_help},
    {"--trials", nullptr, true, set_trials},
    {"--file-size", nullptr, true, set_file_size},
    {"--directory", nullptr, true, set_directory},
    {"--export-json", nullptr, true, set_export_json},
    {"--label", nullptr, true, set_label},
    {"--only", nullptr, true, set_only},
    {"--direct", nullptr, false, set_direct},
    {"--yes", "-y", false, set_yes},
    {"--version", nullptr, false, show_version},
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
        if (option.takes_value && strncmp(word, option.word, length) == 0 && word[length] == '=') {
            *inline_value = word + length + 1;
            return &option;
        }
    }
    return nullptr;
}

} // namespace

void parse_command_line(int arg_count, char** arg_vector, RunParameters& parameters)
{
    // The scan starts at the program's own name, like every other word.
    for (int i = 0; i < arg_count; ++i) {
        const char* value = nullptr;
        const Option* option = find_option(arg_vector[i], &value);
        if (option == nullptr) {
            // A typo must not start a run of hours with the defaults; words
            // that are not options at all stay ignored.
            if (i > 0 && arg_vector[i][0] == '-')
                reject("Unknown option: %s\n", arg_vector[i], arg_vector);
            continue;
        }
        if (option->takes_value && value == nullptr) {
            if (i + 1 >= arg_count)
                reject("Missing value for %s\n", option->word, arg_vector);
            value = arg_vector[++i];
        }
        option->apply(value, arg_vector, parameters);
    }
}

void print_usage(char** arg_vector)
{
    const char* name = program_name(arg_vector);
    const int indent = static_cast<int>(strlen("Usage: ") + strlen(name) + 1);
    fprintf(stderr, "Usage: %s [--help] [--trials N] [--file-size GiB]\n", name);
    fprintf(stderr, "%*s[--directory DIR] [--direct] [--only memory|disk] [--yes]\n", indent, "");
    fprintf(stderr, "%*s[--export-json FILE] [--label TEXT] [--version]\n", indent, "");
    exit(EXIT_USAGE);
}
