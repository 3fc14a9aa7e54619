// ovrel-compare: compares run records of ovrel-bench with confidence
// intervals, or finds the hosts of a fleet that stand out.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
          "                     [--plot FILE] [--fleet [--by host|label]] RUN.json...\n",
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
    if (options.format == Format::OpenMetrics && (options.fleet || !options.plot.empty()))
        usage("--format openmetrics takes the newest run of each host and label; it has no --fleet or --plot", nullptr);
    if (options.has_output && (options.output.empty() || options.output.back() == '/'))
        usage("--output needs a file name: ", options.output.c_str());
    if (options.format != Format::OpenMetrics && !options.fleet && options.files.size() < 2)
        usage("comparing needs two runs or more (the first is the baseline); --fleet takes any number", nullptr);
    if (!options.plot.empty() && options.plot.size() < 5)
        usage("the plot's file name must end in .svg or .png: ", options.plot.c_str());
    return options;
}

// Writes `text` to `path` so that a reader sees the old file or the whole new
// one, never part of it: a hidden temporary file in the same directory
// (created exclusively, so no one's link is followed), flushed, then renamed
// over `path`. Moded as a new file would be (the collector of a metrics
// file runs as another user). False with `*error` on failure, nothing left.
bool write_atomically(const std::string& path, const std::string& text, std::string* error)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = directory + "/." + base + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    int failure = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (size_t done = 0; failure == 0 && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            failure = errno;
        else if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (failure == 0 && fsync(fd) != 0)
        failure = errno;
    if (close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        unlink(temporary.c_str());
        *error = strerror(failure);
        return false;
    }
    // The rename itself reaches the disk with the directory.
    const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return true;
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
    } else if (options.format == Format::OpenMetrics) {
        report = render_openmetrics(runs);
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
    if (options.has_output) {
        if (!write_atomically(options.output, report, &error))
            fail("cannot write " + visible(options.output) + ": " + error);
        return 0;
    }
    if (fwrite(report.data(), 1, report.size(), stdout) != report.size() || fflush(stdout) != 0)
        fail(std::string("cannot write the report: ") + strerror(errno));
    return 0;
}
