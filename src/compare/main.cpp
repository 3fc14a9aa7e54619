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

namespace {

constexpr int EXIT_USAGE = 64;

[[noreturn]] void usage(const char* message, const char* word)
{
    if (message != nullptr)
        fprintf(stderr, "ovrel-compare: %s%s\n", message, word != nullptr ? word : "");
    fputs("Usage: ovrel-compare [--format text|markdown|csv|json|openmetrics] [--output FILE]\n"
          "                     [--plot FILE] [--group] [--smallest-difference PERCENT]\n"
          "                     [--fleet [--by host|label]] RUN.json|DIR...\n"
          "       ovrel-compare --version\n",
          stderr);
    exit(EXIT_USAGE);
}

[[noreturn]] void fail(const std::string& message)
{
    fprintf(stderr, "ovrel-compare: %s\n", message.c_str());
    exit(1);
}

struct Options {
    Format format = Format::Text;
    std::string plot;
    bool has_output = false;
    std::string output;
    bool fleet = false;
    bool by_label = false;
    bool by_given = false;
    CompareOptions compare;
    bool compare_given = false;
    std::vector<std::string> files;
};

Format format_named(const char* name)
{
    const struct {
        const char* name;
        Format format;
    } formats[] = {{"text", Format::Text}, {"markdown", Format::Markdown}, {"csv", Format::Csv}, {"json", Format::Json},
                   {"openmetrics", Format::OpenMetrics}};
    for (const auto& entry : formats)
        if (strcmp(name, entry.name) == 0)
            return entry.format;
    usage("unknown format: ", name);
}

Options parse(int argc, char** argv)
{
    Options options;
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (only_files || word[0] != '-' || strcmp(word, "-") == 0) {
            options.files.push_back(word);
            continue;
        }
        const char* equals = strchr(word, '=');
        const std::string name = equals != nullptr ? std::string(word, equals) : std::string(word);
        const auto value = [&]() -> const char* {
            if (equals != nullptr)
                return equals + 1;
            if (i + 1 >= argc)
                usage("missing value for ", name.c_str());
            return argv[++i];
        };
        if (name == "--")
            only_files = true;
        else if (name == "--help" || name == "-h")
            usage(nullptr, nullptr);
        else if (name == "--version" && equals == nullptr) {
            printf("ovrel-compare %s\n", OVREL_VERSION);
            exit(fflush(stdout) == 0 ? 0 : 1);
        }
        else if (name == "--format")
            options.format = format_named(value());
        else if (name == "--plot")
            options.plot = value();
        else if (name == "--output") {
            options.output = value();
            options.has_output = true;
        }
        else if (name == "--fleet" && equals == nullptr)
            options.fleet = true;
        else if (name == "--group" && equals == nullptr) {
            options.compare.group = true;
            options.compare_given = true;
        }
        else if (name == "--smallest-difference") {
            const char* text = value();
            char* end = nullptr;
            errno = 0;
            const double percent = strtod(text, &end);
            if (end == text || *end != '\0' || errno != 0 || !(percent >= 0 && percent < 100))
                usage("--smallest-difference takes a percentage from 0 to below 100, not ", text);
            options.compare.smallest_difference = percent / 100;
            options.compare_given = true;
        }
        else if (name == "--by") {
            const std::string by = value();
            if (by != "host" && by != "label")
                usage("--by takes host or label, not ", by.c_str());
            options.by_label = by == "label";
            options.by_given = true;
        }
        else
            usage("unknown option: ", word);
    }
    if (options.files.empty())
        usage("no run files given", nullptr);
    if (options.compare_given && (options.fleet || options.format == Format::OpenMetrics))
        usage("--group and --smallest-difference are for comparing runs: not with --fleet or openmetrics", nullptr);
    if (options.by_given && !options.fleet)
        usage("--by tells the hosts of a fleet apart: it needs --fleet", nullptr);
    // gnuplot would take a name beginning with "|" as a command to run.
    if (!options.plot.empty() && options.plot[0] == '|')
        usage("the plot's file name must not begin with |: ", options.plot.c_str());
    if (options.format == Format::OpenMetrics && (options.fleet || !options.plot.empty()))
        usage("--format openmetrics takes the newest run of each host and label; it has no --fleet or --plot", nullptr);
    if (options.has_output && (options.output.empty() || options.output.back() == '/'))
        usage("--output needs a file name: ", options.output.c_str());
    if (!options.plot.empty() && options.plot.size() < 5)
        usage("the plot's file name must end in .svg or .png: ", options.plot.c_str());
    return options;
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
    if (!options.plot.empty() && !gnuplot_available())
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
    // A record given twice would count twice, and narrow every interval.
    count_each_run_once(&runs);
    if (comparing && runs.size() < 2)
        usage(("comparing needs two runs or more, and " + runs[0].repeats[0].second).c_str(), nullptr);

    Fleet fleet{};
    if (options.fleet)
        fleet = fleet_of(runs, options.by_label);
    // The plot first: a failure there must not follow a report that looks complete.
    if (!options.plot.empty()) {
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
