#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compare/compare.h"
#include "measure/visible.h"
#include "run/measurements.h"

namespace {

// A name from a run as one field of a tab-separated data file: whatever
// could end the field or the line, or open a quoted string, becomes '_'.
// gnuplot reads it as text and never as a command.
std::string data_text(const std::string& text)
{
    std::string safe;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        safe += byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' ? '_' : c;
    }
    return safe.empty() ? "_" : safe;
}

std::string data_number(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%.17g", value);
    return std::isfinite(value) ? text : "NaN";
}

// A path of this program's own making in a gnuplot single-quoted string.
std::string quoted(const std::string& path)
{
    std::string text = "'";
    for (char c : path) {
        if (c == '\'')
            text += '\'';
        text += c;
    }
    return text + "'";
}

bool ends_with(const std::string& text, const char* tail)
{
    const size_t length = strlen(tail);
    return text.size() >= length && text.compare(text.size() - length, length, tail) == 0;
}

bool terminal_for(const std::string& path, std::string* terminal, std::string* error)
{
    if (ends_with(path, ".svg")) {
        *terminal = "set terminal svg size 1100,760 noenhanced font 'sans,11'";
    } else if (ends_with(path, ".png")) {
        *terminal = "set terminal png size 1100,760 noenhanced";
    } else {
        *error = "the plot's file name must end in .svg or .png";
        return false;
    }
    return true;
}

bool write_text(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

void remove_tree(const std::string& directory)
{
    nftw(
        directory.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 8,
        FTW_DEPTH | FTW_PHYS);
}

// Runs gnuplot with `script` on its standard input.
// The whole of a small file of this program's own; empty when unreadable.
std::string read_whole(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    fclose(file);
    return text;
}

// Runs gnuplot on `script`. Its own messages (warnings about fonts or
// locales) go to a file in `directory` and are shown only when it fails.
bool run_gnuplot(const std::string& script, const std::string& directory, std::string* error)
{
    const std::string messages = directory + "/gnuplot.messages";
    int channel[2];
    if (pipe(channel) != 0) {
        *error = strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        *error = strerror(errno);
        return false;
    }
    if (child == 0) {
        dup2(channel[0], 0);
        close(channel[0]);
        close(channel[1]);
        const int quiet = open(messages.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (quiet >= 0)
            dup2(quiet, 2);
        execlp("gnuplot", "gnuplot", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(channel[0]);
    // A gnuplot that dies early must not kill this process through SIGPIPE.
    struct sigaction ignore{};
    struct sigaction previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    size_t done = 0;
    while (done < script.size()) {
        const ssize_t n = write(channel[1], script.data() + done, script.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(channel[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && done == script.size())
        return true;
    std::string said = read_whole(messages);
    while (!said.empty() && (said.back() == '\n' || said.back() == ' '))
        said.pop_back();
    const size_t last_line = said.rfind('\n');
    *error = "gnuplot failed" + (said.empty() ? "" : ": " + visible(said.substr(last_line == std::string::npos ? 0 : last_line + 1)));
    return false;
}

// Makes a private directory for the data files, runs the script, cleans up.
struct PlotFiles {
    std::string directory;
};

bool make_directory(PlotFiles* files, std::string* error)
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/ovrel-compare.XXXXXX";
    for (char c : pattern)
        if (static_cast<unsigned char>(c) < 0x20)
            pattern = "/tmp/ovrel-compare.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        *error = std::string("cannot make a temporary directory: ") + strerror(errno);
        return false;
    }
    files->directory = pattern;
    return true;
}

// Where gnuplot draws: inside the private directory, never at a path of the
// user's (which could be another user's link, or "|command" to gnuplot).
std::string drawn_file(const PlotFiles& files, const std::string& path)
{
    return files.directory + (ends_with(path, ".svg") ? "/plot.svg" : "/plot.png");
}

bool finish_plot(const PlotFiles& files, const std::string& script, const std::string& path, std::string* error)
{
    bool done = run_gnuplot(script, files.directory, error);
    std::string plot;
    if (done) {
        plot = read_whole(drawn_file(files, path));
        if (plot.empty()) {
            *error = "gnuplot wrote no plot";
            done = false;
        }
    }
    remove_tree(files.directory);
    return done && write_file_atomically(path, plot, error);
}

// A name from a run in a title: gnuplot's commands get only letters,
// digits, spaces and ". _ - :" of it, in single quotes, at most 100.
std::string title_text(const std::string& text)
{
    std::string safe = "'";
    for (char c : text.substr(0, 100))
        safe += isalnum(static_cast<unsigned char>(c)) != 0 || strchr(" ._-:", c) != nullptr ? c : '_';
    return safe + "'";
}

bool is_memory(const std::string& id)
{
    const int index = measurement_index(id.c_str());
    return index >= 0 && measurement_phase(MEASUREMENTS[index]) == PHASE_MEMORY;
}

} // namespace

bool gnuplot_available()
{
    const char* path = getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        const std::string directory = end > start ? directories.substr(start, end - start) : ".";
        if (access((directory + "/gnuplot").c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool plot_comparison(const std::vector<LoadedRun>& runs, const CompareOptions& options, const std::string& path,
                     std::string* error)
{
    std::string terminal;
    std::string output;
    PlotFiles files;
    if (!terminal_for(path, &terminal, error) || !make_directory(&files, error))
        return false;
    output = quoted(drawn_file(files, path));
    const std::vector<Side> sides = sides_of(runs, options.group);
    const std::vector<Comparison> comparisons = compare_runs(runs, sides, options);

    // The forest: a row per comparison and measurement, from the top: its
    // position, name, ratio, interval ends (the ratio where there is none;
    // NaN where there is no ratio) and verdict (1 faster, 2 slower, 0
    // neither). A row without a verdict says why in its name, as the text
    // does ("disturbed: other-io", "no interval").
    std::string forest = "y\tname\tratio\tlow\thigh\tverdict\n";
    size_t rows = 0;
    double lowest = 1;
    double highest = 1;
    for (const Comparison& comparison : comparisons)
        for (const ComparisonRow& row : comparison.rows) {
            ++rows;
            const RatioEstimate& e = row.estimate;
            if (e.has_ratio) {
                lowest = std::min(lowest, e.has_interval ? e.low : e.ratio);
                highest = std::max(highest, e.has_interval ? e.high : e.ratio);
            }
        }
    size_t y = rows;
    for (const Comparison& comparison : comparisons)
        for (const ComparisonRow& row : comparison.rows) {
            const RatioEstimate& e = row.estimate;
            const int verdict = row.verdict == Verdict::Faster ? 1 : row.verdict == Verdict::Slower ? 2 : 0;
            const bool why = row.verdict == Verdict::NoInterval || row.verdict == Verdict::NoRates ||
                             row.verdict == Verdict::Disturbed;
            const std::string name = data_text(row.id + (sides.size() > 2 ? ": " + sides[comparison.side].name : "") +
                                               (why ? " (" + verdict_text(row) + ")" : ""));
            const double ratio = e.has_ratio ? e.ratio : NAN;
            forest += std::to_string(y) + "\t" + name + "\t" + data_number(ratio) + "\t" +
                      data_number(e.has_interval ? e.low : ratio) + "\t" +
                      data_number(e.has_interval ? e.high : ratio) + "\t" + std::to_string(verdict) + "\n";
            --y;
        }
    // The ratio axis in plain ratios at powers of two (1/8 to 8 as 0.125 to
    // 8), every other one where they would crowd.
    const int from = static_cast<int>(std::floor(std::log2(std::max(lowest, 1e-300))));
    const int to = static_cast<int>(std::ceil(std::log2(std::min(highest, 1e300))));
    const int step = to - from > 12 ? (to - from) / 6 : 1;
    std::string ratio_tics;
    for (int k = from - (from % step + step) % step; k <= to; k += step) {
        char tic[48];
        if (k >= -3)
            snprintf(tic, sizeof tic, "'%g' %g", std::ldexp(1.0, k), std::ldexp(1.0, k));
        else
            snprintf(tic, sizeof tic, "'1/%g' %.17g", std::ldexp(1.0, -k), std::ldexp(1.0, k));
        ratio_tics += std::string(ratio_tics.empty() ? "" : ", ") + tic;
    }
    const std::string ratio_range = data_number(std::ldexp(1.0, from) / 1.1) + ":" + data_number(std::ldexp(1.0, to) * 1.1);

    // The bars: one data file per panel, a row per measurement, three
    // columns per run (median, min, max), the runs' names in the header row.
    std::string panels[2];
    // The runs' names short enough that the legend leaves the bars room.
    for (std::string& panel : panels) {
        panel = "measurement";
        for (size_t r = 0; r < runs.size(); ++r)
            panel += "\t" + data_text(std::to_string(r + 1) + ": " +
                                      (runs[r].record.label.empty() ? runs[r].record.machine.host_name
                                                                    : runs[r].record.label).substr(0, 24)) +
                     "\tmin\tmax";
        panel += "\n";
    }
    for (const Measurement& m : MEASUREMENTS) {
        std::string row = m.id;
        bool any = false;
        for (const LoadedRun& run : runs) {
            const Spread spread = spread_of(trial_rates(run.record, m.id));
            any = any || spread.n > 0;
            row += "\t" + data_number(spread.median) + "\t" + data_number(spread.min) + "\t" + data_number(spread.max);
        }
        if (any)
            panels[is_memory(m.id) ? 0 : 1] += row + "\n";
    }
    const std::string forest_file = files.directory + "/forest.dat";
    const std::string memory_file = files.directory + "/memory.dat";
    const std::string disk_file = files.directory + "/disk.dat";
    if (!write_text(forest_file, forest) || !write_text(memory_file, panels[0]) || !write_text(disk_file, panels[1])) {
        *error = std::string("cannot write the plot's data: ") + strerror(errno);
        remove_tree(files.directory);
        return false;
    }
    // Only the panels with measurements; an empty one would be a blank half.
    // The forest is drawn whatever it holds, as the text is written.
    const bool has_rows[] = {panels[0].find('\n') + 1 < panels[0].size(), panels[1].find('\n') + 1 < panels[1].size()};
    std::string others;
    for (size_t i = 1; i < sides.size(); ++i)
        others += (i == 1 ? "" : i + 1 == sides.size() ? " and " : ", ") + sides[i].name;
    const std::string title = others + " against " + sides[0].name;
    const std::string count = std::to_string(runs.size());
    std::string script = terminal + "\nset output " + output + "\n" +
                         "set datafile separator \"\\t\"\n"
                         "set datafile missing 'NaN'\n"
                         "set multiplot layout " + std::to_string(1 + has_rows[0] + has_rows[1]) + ",1 title " +
                         title_text(title) + "\n"
                         // The answer first: each ratio with its interval, on a log scale.
                         "set title 'Ratio to the baseline with its interval (Holm); green faster, red slower, grey no "
                         "verdict'\n"
                         "set logscale x 2\n"
                         "set xrange [" + ratio_range + "]\n"
                         "set xtics (" + ratio_tics + ")\n"
                         "set xlabel 'ratio (log scale)'\n"
                         "set ytics scale 0" + (rows > 8 ? " font ',8'" : "") + "\n"
                         "set yrange [0.5:" + std::to_string(std::max<size_t>(rows, 1)) + ".5]\n"
                         "set grid xtics\n"
                         "unset key\n" +
                         (rows == 0 ? "set label 2 'nothing to compare' at 1, 1 center\n" : "") +
                         "set arrow 1 from 1, graph 0 to 1, graph 1 nohead dashtype 2\n"
                         // A row without a ratio keeps its name on the axis.
                         "plot " + quoted(forest_file) + " skip 1 using (1):1:ytic(2) with points pt -1 notitle, \\\n"
                         "     '' skip 1 using 3:1:4:5 with xerrorbars pt 7 lc rgb 'grey60', \\\n"
                         "     '' skip 1 using 3:($6 == 1 ? $1 : NaN):4:5 with xerrorbars pt 7 lc rgb 'dark-green', \\\n"
                         "     '' skip 1 using 3:($6 == 2 ? $1 : NaN):4:5 with xerrorbars pt 7 lc rgb 'red'\n"
                         "unset label 2\nunset xrange\nset xtics autofreq\nset autoscale x\n"
                         "unset arrow 1\nunset logscale x\nunset xlabel\nunset ytics\nset ytics font ''\nset autoscale y\n"
                         "set style data histogram\n"
                         "set style histogram errorbars gap 2 lw 1\n"
                         "set style fill solid 0.5 border -1\n"
                         "set key outside below horizontal font ',9'\n"
                         "set grid ytics\n"
                         "set yrange [0:*]\n"
                         "set ylabel 'MiB/s (median, whiskers min-max)'\n";
    const char* const titles[] = {"Memory stores", "Disk passes"};
    const std::string* const data_files[] = {&memory_file, &disk_file};
    for (int panel = 0; panel < 2; ++panel) {
        if (!has_rows[panel])
            continue;
        script += "set title '" + std::string(titles[panel]) + "'\n" + "plot for [r=0:" + count + "-1] " +
                  quoted(*data_files[panel]) +
                  " using (column(2+3*r)):(column(3+3*r)):(column(4+3*r)):xtic(1) title columnheader(2+3*r)\n";
    }
    script += "unset multiplot\nset output\n";
    return finish_plot(files, script, path, error);
}

bool plot_fleet(const Fleet& fleet, const std::string& path, std::string* error)
{
    std::string terminal;
    std::string output;
    PlotFiles files;
    if (!terminal_for(path, &terminal, error) || !make_directory(&files, error))
        return false;
    output = quoted(drawn_file(files, path));

    // A row per host and measurement with rates: position, the host's
    // robust z (0 where it is not judged), the host's name,
    // whether it stands out, and whether it was judged at all.
    std::string data = "x\tz\thost\toutlier\tjudged\n";
    std::string tics;
    for (size_t m = 0; m < fleet.measurements.size(); ++m) {
        // The ids are the table's own (the reader accepts no others).
        tics += (m == 0 ? "" : ", ") + std::string("'") + fleet.measurements[m].id + "' " + std::to_string(m);
        for (const FleetHost& host : fleet.hosts) {
            const HostCell& cell = host.cells[m];
            // A host the witness left nothing of is drawn, not judged.
            if (cell.spread.n == 0 && cell.left_out == 0)
                continue;
            const bool judged = std::isfinite(cell.z);
            data += std::to_string(m) + "\t" + data_number(judged ? cell.z : 0) + "\t" + data_text(host.host) +
                    "\t" + (cell.flag != 0 ? "1" : "0") + "\t" + (judged ? "1" : "0") + "\n";
        }
    }
    if (data.find('\n') + 1 == data.size()) {
        *error = "the runs hold no rates to plot";
        remove_tree(files.directory);
        return false;
    }
    const std::string data_file = files.directory + "/fleet.dat";
    char threshold[16];
    snprintf(threshold, sizeof threshold, "%.1f", OUTLIER_Z);
    if (!write_text(data_file, data)) {
        *error = std::string("cannot write the plot's data: ") + strerror(errno);
        remove_tree(files.directory);
        return false;
    }
    const std::string script = terminal + "\nset output " + output + "\n" +
                               (fleet.judged ? "" : "set label 1 'too few hosts to judge: no z' at graph 0.5, graph 0.5 center\n") +
                               "set datafile separator \"\\t\"\n"
                               "set datafile missing 'NaN'\n"
                               "set title 'Each host against the fleet: robust z of its median (|z| above " +
                               threshold + " stands out, labelled)'\n"
                               "set ylabel 'robust z: 0.6745 (host - fleet median) / MAD'\n"
                               "set arrow 1 from graph 0, first " + threshold + " to graph 1, first " + threshold +
                               " nohead dashtype 2 lc rgb 'red'\n"
                               "set arrow 2 from graph 0, first -" + threshold + " to graph 1, first -" + threshold +
                               " nohead dashtype 2 lc rgb 'red'\n"
                               "set xtics (" + tics + ") rotate by -30\n"
                               "set xrange [-0.5:" + std::to_string(fleet.measurements.size()) + "-0.5]\n"
                               // Autoscaled, but always showing both thresholds.
                               "set yrange [*<-" + threshold + "-0.5:" + threshold + "+0.5<*]\n"
                               "set grid ytics\n"
                               "set key outside right top\n"
                               "plot " + quoted(data_file) + " skip 1 using 1:($4 == 0 && $5 == 1 ? $2 : NaN) with points pt 7 ps 0.8 title 'host', \\\n"
                               "     '' skip 1 using 1:($5 == 0 ? $2 : NaN) with points pt 6 ps 0.8 title 'not judged (too few hosts, or disturbed)', \\\n"
                               "     '' skip 1 using 1:($4 != 0 ? $2 : NaN) with points pt 6 ps 2 lc rgb 'red' title 'outlier', \\\n"
                               "     '' skip 1 using 1:($4 != 0 ? $2 : NaN):3 with labels left offset 1.5,0 notitle\n"
                               "set output\n";
    return finish_plot(files, script, path, error);
}
