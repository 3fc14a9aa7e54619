// ovrel-compare: compares run records of ovrel-bench with confidence
// intervals, or finds the hosts of a fleet that stand out.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "measure/visible.h"
#include "record/replace_file.h"

namespace {

constexpr int EXIT_USAGE = 64;

struct Options {
    Format format = Format::Text;
    bool has_plot = false;
    std::string plot;
    bool has_output = false;
    std::string output;
    bool fleet = false;
    bool by_label = false;
    CompareOptions compare;
    std::vector<std::string> files;
};

// What the program writes, by the options given: a comparison, a fleet's
// report, or metrics. An option means something in some of them.
constexpr unsigned COMPARING = 1;
constexpr unsigned FLEET = 2;
constexpr unsigned METRICS = 4;
constexpr unsigned ANY_MODE = COMPARING | FLEET | METRICS;

struct CompareOption {
    const char* word;
    const char* short_word;  // or null
    const char* value_name;  // shown in the usage message; null when it takes no value
    unsigned modes;          // where it means something
    const char* elsewhere;   // the usage error where it does not
    const char* help;        // one line of the usage message, with the default
    void (*apply)(const char* value, Options& options);
};

[[noreturn]] void usage(const char* message, const char* word);

void set_format(const char* value, Options& options)
{
    const struct {
        const char* name;
        Format format;
    } formats[] = {{"text", Format::Text}, {"markdown", Format::Markdown}, {"csv", Format::Csv}, {"json", Format::Json},
                   {"openmetrics", Format::OpenMetrics}};
    for (const auto& entry : formats)
        if (strcmp(value, entry.name) == 0) {
            options.format = entry.format;
            return;
        }
    usage("unknown format: ", value);
}

void set_output(const char* value, Options& options)
{
    options.output = value;
    options.has_output = true;
}

void set_plot(const char* value, Options& options)
{
    options.plot = value;
    options.has_plot = true;
}

void set_group(const char*, Options& options)
{
    options.compare.group = true;
}

// A percentage as digits with at most one point between them: no sign,
// blank, exponent or base, which strtod would take.
void set_smallest_difference(const char* value, Options& options)
{
    const size_t digits = strspn(value, "0123456789");
    const bool shaped = digits > 0 && (value[digits] == '\0' || (value[digits] == '.' && value[digits + 1] != '\0' &&
                                                                  value[digits + 1 + strspn(value + digits + 1,
                                                                                            "0123456789")] == '\0'));
    const double percent = shaped ? strtod(value, nullptr) : -1;
    if (!(percent >= 0 && percent < 100))
        usage("--smallest-difference takes a percentage from 0 to below 100, not ", value);
    options.compare.smallest_difference = percent / 100;
}

void set_fleet(const char*, Options& options)
{
    options.fleet = true;
}

void set_by(const char* value, Options& options)
{
    if (strcmp(value, "host") != 0 && strcmp(value, "label") != 0)
        usage("--by takes host or label, not ", value);
    options.by_label = strcmp(value, "label") == 0;
}

void show_help(const char*, Options&)
{
    usage(nullptr, nullptr);
}

void show_version(const char*, Options&)
{
    printf("ovrel-compare %s\n", OVREL_VERSION);
    exit(fflush(stdout) == 0 ? 0 : 1);
}

constexpr const char* NOT_WITH_METRICS =
    "--format openmetrics takes the newest run of each host and label; it has no --fleet or --plot";
constexpr const char* ONLY_COMPARING =
    "--group and --smallest-difference are for comparing runs: not with --fleet or openmetrics";

constexpr CompareOption OPTIONS[] = {
    {"--format", nullptr, "FORMAT", ANY_MODE, nullptr,
     "text, markdown, csv, json, or openmetrics for Prometheus (default: text)", set_format},
    {"--output", nullptr, "FILE", ANY_MODE, nullptr,
     "replace FILE, a regular file or a new name, with the report (default: standard output)", set_output},
    {"--plot", nullptr, "FILE", COMPARING | FLEET, NOT_WITH_METRICS,
     "draw the comparison or the fleet into FILE, .svg or .png, with gnuplot (default: none)", set_plot},
    {"--group", nullptr, nullptr, COMPARING, ONLY_COMPARING,
     "the runs of one directory, or of one label, are one side (default: each run a side)", set_group},
    {"--smallest-difference", nullptr, "PERCENT", COMPARING, ONLY_COMPARING,
     "report differences from PERCENT on, 0 to below 100 (default: 30 with the trials as units, 0 with runs)",
     set_smallest_difference},
    {"--fleet", nullptr, nullptr, COMPARING | FLEET, NOT_WITH_METRICS,
     "find the hosts of a fleet that stand out, in any number of runs (default: compare with the first)",
     set_fleet},
    {"--by", nullptr, "host|label", FLEET, "--by tells the hosts of a fleet apart: it needs --fleet",
     "tell the fleet's hosts apart by host name or by label (default: host)", set_by},
    {"--help", "-h", nullptr, ANY_MODE, nullptr, "print this message and exit with status 64", show_help},
    {"--version", nullptr, nullptr, ANY_MODE, nullptr, "print the version and exit", show_version},
};
constexpr size_t OPTION_COUNT = sizeof OPTIONS / sizeof OPTIONS[0];

[[noreturn]] void usage(const char* message, const char* word)
{
    if (message != nullptr)
        fprintf(stderr, "ovrel-compare: %s%s\n", message, word != nullptr ? word : "");
    fputs("Usage: ovrel-compare [--format text|markdown|csv|json|openmetrics] [--output FILE]\n"
          "                     [--plot FILE] [--group] [--smallest-difference PERCENT]\n"
          "                     [--fleet [--by host|label]] RUN.json|DIR...\n"
          "       ovrel-compare --version\n"
          "Options:\n",
          stderr);
    for (const CompareOption& option : OPTIONS) {
        std::string words = option.word;
        if (option.value_name != nullptr)
            words = words + " " + option.value_name;
        if (option.short_word != nullptr)
            words = words + ", " + option.short_word;
        fprintf(stderr, "  %-29s %s\n", words.c_str(), option.help);
    }
    exit(EXIT_USAGE);
}

[[noreturn]] void fail(const std::string& message)
{
    fprintf(stderr, "ovrel-compare: %s\n", message.c_str());
    exit(1);
}

// The option that `word` names, as "--name", "-n" or "--name=value"; in the
// last case `*inline_value` points at the value.
const CompareOption* find_option(const char* word, const char** inline_value)
{
    *inline_value = nullptr;
    for (const CompareOption& option : OPTIONS) {
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

Options parse(int argc, char** argv)
{
    Options options;
    bool given[OPTION_COUNT] = {};
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (only_files || word[0] != '-' || strcmp(word, "-") == 0) {
            options.files.push_back(word);
            continue;
        }
        if (strcmp(word, "--") == 0) {
            only_files = true;
            continue;
        }
        const char* value = nullptr;
        const CompareOption* option = find_option(word, &value);
        if (option == nullptr)
            usage("unknown option: ", word);
        if (option->value_name != nullptr && value == nullptr) {
            if (i + 1 >= argc)
                usage("missing value for ", option->word);
            value = argv[++i];
        }
        given[option - OPTIONS] = true;
        option->apply(value, options);
    }
    if (options.files.empty())
        usage("no run files given", nullptr);
    const unsigned mode = options.format == Format::OpenMetrics ? METRICS : options.fleet ? FLEET : COMPARING;
    for (size_t i = 0; i < OPTION_COUNT; ++i)
        if (given[i] && (OPTIONS[i].modes & mode) == 0)
            usage(OPTIONS[i].elsewhere, nullptr);
    if (options.has_output && (options.output.empty() || options.output.back() == '/'))
        usage("--output needs a file name: ", options.output.c_str());
    if (options.has_plot && options.plot.empty())
        usage("--plot needs a file name", nullptr);
    // gnuplot would take a name beginning with "|" as a command to run.
    if (options.has_plot && options.plot[0] == '|')
        usage("the plot's file name must not begin with |: ", options.plot.c_str());
    if (options.has_plot && options.plot.size() < 5)
        usage("the plot's file name must end in .svg or .png: ", options.plot.c_str());
    if (options.has_plot && options.has_output && options.plot == options.output)
        usage("--output and --plot name one file: ", options.plot.c_str());
    return options;
}

// What the program writes replaces a regular file or takes a new name:
// a device, FIFO, socket, directory or link is refused, and so is a record
// being read, or the file `other` the other output names (exit 1, nothing
// written). Whether the file is there, and `*status` where it is.
bool check_target(const std::string& path, const std::vector<LoadedRun>& runs, const struct stat* other,
                  struct stat* status)
{
    bool exists = false;
    if (const char* reason = why_not_replaceable(path, &exists, status))
        fail("cannot write " + visible(path) + ": " + reason);
    if (!exists)
        return false;
    if (other != nullptr && other->st_dev == status->st_dev && other->st_ino == status->st_ino)
        usage("--output and --plot name one file: ", path.c_str());
    for (const LoadedRun& run : runs)
        if (run.device == status->st_dev && run.inode == status->st_ino)
            fail("cannot write " + visible(path) + ": it is the record " + visible(run.file) + ", read for the report");
    return true;
}

// A directory stands for the records in it: its *.json files, by name.
// `groups` gets the directory each file came from (empty for a file given).
bool expand_directories(const std::vector<std::string>& given, std::vector<std::string>* files,
                        std::vector<std::string>* groups, std::string* error)
{
    for (const std::string& path : given) {
        struct stat status;
        if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            files->push_back(path);
            groups->push_back("");
            continue;
        }
        DIR* directory = opendir(path.c_str());
        if (directory == nullptr) {
            *error = visible(path) + ": " + strerror(errno);
            return false;
        }
        std::vector<std::string> names;
        while (const dirent* entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0)
                names.push_back(name);
        }
        closedir(directory);
        if (names.empty()) {
            *error = visible(path) + ": a directory without .json records";
            return false;
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            files->push_back(path + (path.back() == '/' ? "" : "/") + name);
            groups->push_back(path);
        }
    }
    return true;
}

struct Report {
    const Options* options;
    const std::vector<LoadedRun>* runs;
    const Fleet* fleet;
};

void write_report(FILE* sink, void* context)
{
    const Report& report = *static_cast<const Report*>(context);
    const Options& options = *report.options;
    if (options.fleet)
        write_fleet(sink, *report.runs, *report.fleet, options.format, options.by_label);
    else if (options.format == Format::OpenMetrics)
        fputs(render_openmetrics(*report.runs).c_str(), sink);
    else
        write_comparison(sink, *report.runs, options.format, options.compare);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.has_plot && !gnuplot_available())
        fail("--plot needs gnuplot (Debian: gnuplot-nox, FreeBSD: math/gnuplot)");

    std::vector<LoadedRun> runs;
    std::string error;
    std::vector<std::string> files;
    std::vector<std::string> groups;
    if (!expand_directories(options.files, &files, &groups, &error))
        fail(error);
    const bool comparing = options.format != Format::OpenMetrics && !options.fleet;
    if (comparing && files.size() < 2)
        usage("comparing needs two runs or more (the first is the baseline); --fleet takes any number", nullptr);
    if (!load_runs(files, &runs, &error))
        fail(error);
    for (size_t i = 0; i < runs.size(); ++i)
        runs[i].group = groups[i];
    // Before anything is written; the records read include any given twice.
    struct stat plot_status;
    struct stat output_status;
    const bool plot_exists = options.has_plot && check_target(options.plot, runs, nullptr, &plot_status);
    if (options.has_output)
        check_target(options.output, runs, plot_exists ? &plot_status : nullptr, &output_status);
    // A record given twice would count twice, and narrow every interval.
    count_each_run_once(&runs);
    if (comparing && runs.size() < 2)
        usage(("comparing needs two runs or more, and " + runs[0].repeats[0].second).c_str(), nullptr);

    Fleet fleet{};
    if (options.fleet)
        fleet = fleet_of(runs, options.by_label);
    // The plot first: a failure there must not follow a report that looks complete.
    if (options.has_plot) {
        const bool drawn = options.fleet ? plot_fleet(fleet, options.plot, &error)
                                         : plot_comparison(runs, options.compare, options.plot, &error);
        if (!drawn)
            fail(options.plot + ": " + error);
    }
    // The report is written as it is made: for thousands of runs it is far
    // larger than their records.
    Report report{&options, &runs, &fleet};
    if (options.has_output) {
        if (!write_stream_atomically(options.output, write_report, &report, &error))
            fail("cannot write " + visible(options.output) + ": " + error);
        return 0;
    }
    write_report(stdout, &report);
    if (ferror(stdout) != 0 || fflush(stdout) != 0)
        fail(std::string("cannot write the report: ") + strerror(errno));
    return 0;
}
