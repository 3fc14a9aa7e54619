// ovrel-compare: compares run records of ovrel-bench with confidence
// intervals, or finds the hosts of a fleet that stand out.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compare/compare.h"

namespace {

constexpr int EXIT_USAGE = 64;

[[noreturn]] void usage(const char* message, const char* word)
{
    if (message != nullptr)
        fprintf(stderr, "ovrel-compare: %s%s\n", message, word != nullptr ? word : "");
    fputs("Usage: ovrel-compare [--format text|markdown|csv|json] [--plot FILE] [--fleet [--by host|label]]\n"
          "                     RUN.json...\n",
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
    bool fleet = false;
    bool by_label = false;
    std::vector<std::string> files;
};

Format format_named(const char* name)
{
    const struct {
        const char* name;
        Format format;
    } formats[] = {{"text", Format::Text}, {"markdown", Format::Markdown}, {"csv", Format::Csv}, {"json", Format::Json}};
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
        else if (name == "--format")
            options.format = format_named(value());
        else if (name == "--plot")
            options.plot = value();
        else if (name == "--fleet" && equals == nullptr)
            options.fleet = true;
        else if (name == "--by") {
            const std::string by = value();
            if (by != "host" && by != "label")
                usage("--by takes host or label, not ", by.c_str());
            options.by_label = by == "label";
        }
        else
            usage("unknown option: ", word);
    }
    if (options.files.empty())
        usage("no run files given", nullptr);
    if (!options.fleet && options.files.size() < 2)
        usage("comparing needs two runs or more (the first is the baseline); --fleet takes any number", nullptr);
    if (!options.plot.empty() && options.plot.size() < 5)
        usage("the plot's file name must end in .svg or .png: ", options.plot.c_str());
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (!options.plot.empty() && !gnuplot_available())
        fail("--plot needs gnuplot (Debian: gnuplot-nox, FreeBSD: math/gnuplot)");

    std::vector<LoadedRun> runs;
    std::string error;
    if (!load_runs(options.files, &runs, &error))
        fail(error);

    std::string report;
    Fleet fleet{};
    if (options.fleet) {
        fleet = fleet_of(runs, options.by_label);
        report = render_fleet(runs, fleet, options.format);
    } else {
        report = render_comparison(runs, options.format);
    }
    // The plot first: a failure there must not follow a report that looks complete.
    if (!options.plot.empty()) {
        const bool drawn = options.fleet ? plot_fleet(fleet, options.plot, &error)
                                         : plot_comparison(runs, options.plot, &error);
        if (!drawn)
            fail(options.plot + ": " + error);
    }
    if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0)
        fail(std::string("cannot write the report: ") + strerror(errno));
    return 0;
}
