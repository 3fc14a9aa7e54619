// Runs ovrel-compare on records that the real benchmark wrote.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>  // makedev; in <sys/types.h> elsewhere
#endif
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run(const char* binary, const std::vector<std::string>& arguments, const char* path_variable = nullptr)
{
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(binary)};
        for (const std::string& word : arguments)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (path_variable != nullptr)
            setenv("PATH", path_variable, 1);
        execv(binary, argv.data());
        _exit(127);
    }
    Result result{};
    waitpid(child, &result.status, 0);
    result.out = read_file("out.txt");
    result.err = read_file("err.txt");
    return result;
}

bool exited_with(const Result& result, int code)
{
    return WIFEXITED(result.status) && WEXITSTATUS(result.status) == code;
}

// Built beside the benchmark.
const std::string& compare_binary()
{
    static const std::string path = [] {
        const std::string bench = OVREL_BINARY;
        return bench.substr(0, bench.rfind('/') + 1) + "ovrel-compare";
    }();
    return path;
}

Result compare(const std::vector<std::string>& arguments)
{
    return run(compare_binary().c_str(), arguments);
}

// Short real runs: disk only for most tests, with the memory sweeps for the
// one that needs all twelve measurements (ctest runs each test in a process
// of its own, so each pays only for what it asks for).
class CompareCli : public TempDirTest {
protected:
    // The two runs go side by side, each in a directory of its own.
    void make_runs(bool with_memory)
    {
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            const std::string name = i == 0 ? "a" : "b";
            ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
            std::vector<std::string> words = {"--trials", "2", "--file-size", "64M", "--yes", "--label", name,
                                              "--directory", name, "--export-json", name + ".json"};
            if (!with_memory)
                words.insert(words.begin(), {"--only", "disk"});
            children[i] = fork();
            if (children[i] == 0) {
                std::vector<char*> argv{const_cast<char*>(OVREL_BINARY)};
                for (const std::string& word : words)
                    argv.push_back(const_cast<char*>(word.c_str()));
                argv.push_back(nullptr);
                const int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(null, 1);
                execv(OVREL_BINARY, argv.data());
                _exit(127);
            }
        }
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        // Side by side, each run's witness may see the other's I/O and mark
        // trials disturbed, which would take them out of the verdicts at
        // random. The tests plant the marks they are about.
        for (const std::string& record : {a(), b()})
            set_disturbed(record, "", nlohmann::ordered_json::array());
    }

    // Rewrites record `file` with `marks` as the witness's disturbances of
    // every measurement named `id` (of every measurement when `id` is empty).
    void set_disturbed(const std::string& file, const std::string& id, const nlohmann::ordered_json& marks)
    {
        nlohmann::ordered_json document = nlohmann::ordered_json::parse(read_file(file));
        for (nlohmann::ordered_json& trial : document["trials"])
            for (nlohmann::ordered_json& m : trial["measurements"])
                if (id.empty() || m["id"] == id)
                    m["witness"]["disturbed"] = marks;
        write_file(file, document.dump(2));
    }

    std::string a() const { return dir_.path + "/a.json"; }
    std::string b() const { return dir_.path + "/b.json"; }

    // A copy of run `from` with another host name and label, and a seed of
    // its own: another run, not the same one given twice.
    std::string renamed(const std::string& from, const std::string& host, const std::string& file)
    {
        nlohmann::ordered_json document = nlohmann::ordered_json::parse(read_file(from));
        document["machine"]["host_name"] = host;
        document["label"] = host;
        document["seed"] = std::hash<std::string>{}(file) & 0xffffffffu;
        write_file(file, document.dump(2));
        return file;
    }
};

TEST_F(CompareCli, RealRunsInEveryFormat)
{
    make_runs(true);
    Result text = compare({a(), b()});
    ASSERT_TRUE(exited_with(text, 0)) << text.err;
    EXPECT_EQ(text.err, "");
    // Each side by its label: a summary line, then the table.
    EXPECT_NE(text.out.find("\nb against a: "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nb against a (geometric means; trials a side)\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nsmall-1 "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Warning: run 1's file (64.00 MiB) is smaller than twice its machine's memory"),
              std::string::npos);

    const Result markdown = compare({"--format", "markdown", a(), b()});
    ASSERT_TRUE(exited_with(markdown, 0));
    EXPECT_NE(markdown.out.find("| measurement | a MiB/s | trials | b MiB/s | trials | ratio | interval | verdict |"),
              std::string::npos)
        << markdown.out;

    // A standard reader: Python's csv module.
    const Result csv = compare({"--format=csv", a(), b()});
    ASSERT_TRUE(exited_with(csv, 0));
    write_file("compare.csv", csv.out);
    const Result rows = run("/bin/sh", {"-c", "python3 -c 'import csv,sys; rows = list(csv.DictReader(open(\"compare.csv\"))); "
                                              "print(len(rows), sorted(set(r[\"measurement\"] for r in rows))[0], rows[0][\"run\"])'"});
    ASSERT_TRUE(exited_with(rows, 0)) << rows.err;
    EXPECT_EQ(rows.out, "12 large-1 2\n");

    const Result json = compare({"--format", "json", a(), b()});
    ASSERT_TRUE(exited_with(json, 0));
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["mode"], "compare");
    EXPECT_EQ(document["runs"].size(), 2u);
    EXPECT_EQ(document["comparisons"][0]["measurements"].size(), 12u);

    // Figures the same as the baseline's: ratio 1, and no difference shown.
    const Result self = compare({"--format", "json", a(), renamed(a(), "a-again", "again.json")});
    for (const nlohmann::json& row : nlohmann::json::parse(self.out)["comparisons"][0]["measurements"]) {
        EXPECT_DOUBLE_EQ(row["ratio"].get<double>(), 1.0) << row["id"];
        EXPECT_EQ(row["verdict"], "no difference shown") << row["id"];
    }
}

// --group: each directory one side, its runs each counting once; a run the
// witness found disturbed in a measurement is left out of it, and named.
TEST_F(CompareCli, GroupsOfRunsAndDisturbedTrials)
{
    make_runs(false);
    ASSERT_EQ(mkdir("old", 0700), 0);
    ASSERT_EQ(mkdir("new", 0700), 0);
    renamed(a(), "old-disk", "old/1.json");
    renamed(a(), "old-disk", "old/2.json");
    renamed(b(), "new-disk", "new/1.json");
    set_disturbed(renamed(b(), "new-disk", "new/2.json"), "write", {"other-io"});

    const Result text = compare({"--group", "old", "new"});
    ASSERT_TRUE(exited_with(text, 0)) << text.err;
    EXPECT_NE(text.out.find("\nSides (side 1 is the baseline):\n  1  old-disk: runs 1, 2\n  2  new-disk: runs 3, 4\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("Each run counts once (its trials' geometric mean): 2 runs against 2"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("\n  write: 2 of 4 trials of new-disk disturbed (other-io), left out\n"), std::string::npos)
        << text.out;
    const nlohmann::json document = nlohmann::json::parse(compare({"--group", "--format", "json", "old", "new"}).out);
    ASSERT_EQ(document["sides"].size(), 2u);
    EXPECT_EQ(document["sides"][1]["runs"], nlohmann::json::parse("[3, 4]"));
    const nlohmann::json& comparison = document["comparisons"][0];
    EXPECT_EQ(comparison["runs_as_unit"], true);
    for (const nlohmann::json& row : comparison["measurements"]) {
        EXPECT_EQ(row["baseline"]["units"], 2) << row["id"];
        EXPECT_EQ(row["other"]["units"], row["id"] == "write" ? 1 : 2) << row["id"];
        EXPECT_EQ(row["other"]["left_out"], row["id"] == "write" ? 2 : 0) << row["id"];
    }
    // Every trial of one side disturbed: no verdict, the reason, and what
    // to do; the plot draws the row as such wherever the text is written.
    const Result alone = compare({"new/1.json", "new/2.json"});
    EXPECT_NE(alone.out.find("write: disturbed: other-io"), std::string::npos) << alone.out;
    EXPECT_NE(alone.out.find("Too little left to judge write (other-io): rerun on a quiet machine, or with more"),
              std::string::npos)
        << alone.out;
    // In Markdown the notes after a table are not its rows, as a
    // GitHub-flavoured parser reads it.
    write_file("alone.md", compare({"--format", "markdown", "new/1.json", "new/2.json"}).out);
    const Result html = run("/bin/sh", {"-c", "command -v cmark-gfm >/dev/null || exit 77; cmark-gfm -e table alone.md"});
    if (exited_with(html, 77)) {
        SKIP_OR_FAIL("cmark-gfm is not installed");
    } else {
        ASSERT_TRUE(exited_with(html, 0)) << html.err;
        EXPECT_EQ(html.out.find("<td>write: "), std::string::npos) << html.out;
        EXPECT_NE(html.out.find("<p>write: 2 of 2 trials of new-disk (run 2) disturbed (other-io), left out</p>"),
                  std::string::npos)
            << html.out;
    }
    for (const char* id : {"", "write"})
        set_disturbed("new/1.json", id, {"cpu-taken"});
    const Result drawn = compare({"--plot", "disturbed.svg", "new/1.json", "new/2.json"});
    ASSERT_TRUE(exited_with(drawn, 0)) << drawn.err;
    EXPECT_NE(read_file("disturbed.svg").find("write (disturbed: cpu-taken +1)"), std::string::npos);
    EXPECT_NE(read_file("disturbed.svg").find("seek (disturbed: cpu-taken)"), std::string::npos);

    // A record given again counts once: by its name, by another name of
    // the same file, or as a copy of the same run; the output is the one
    // without it, and a warning says what was left out.
    ASSERT_EQ(symlink("1.json", "old/link.json"), 0);
    ASSERT_EQ(link("new/1.json", "linked.json"), 0);
    write_file("copy.json", read_file("new/2.json"));
    const Result twice = compare({"--group", "old", "old", "new", "new", "linked.json", "copy.json"});
    ASSERT_TRUE(exited_with(twice, 0)) << twice.err;
    const std::string warnings = "Warning: old/link.json is old/1.json again: counted once\n"
                                 "Warning: old/1.json is old/1.json again: counted once\n"
                                 "Warning: old/2.json is old/2.json again: counted once\n"
                                 "Warning: old/link.json is old/1.json again: counted once\n"
                                 "Warning: new/1.json is new/1.json again: counted once\n"
                                 "Warning: and 3 more records given again, each counted once\n";
    EXPECT_NE(twice.out.find(warnings), std::string::npos) << twice.out;
    EXPECT_NE(twice.out.find("Each run counts once (its trials' geometric mean): 2 runs against 2"), std::string::npos)
        << twice.out;
    const Result pair = compare({"new/1.json", "new/2.json", "linked.json", "copy.json"});
    EXPECT_NE(pair.out.find("Warning: linked.json is new/1.json again: counted once\n"
                            "Warning: copy.json holds the run of new/2.json (host new-disk, started "),
              std::string::npos)
        << pair.out;
    const Result one = compare({a(), a()});
    EXPECT_TRUE(exited_with(one, 64));
    EXPECT_EQ(one.err.substr(0, one.err.find('\n')),
              "ovrel-compare: comparing needs two runs or more, and " + a() + " is " + a() + " again: counted once");
}

TEST_F(CompareCli, BadInputNamesTheFileAndWhatIsWrong)
{
    make_runs(false);
    write_file("notes.txt", "not a record\n");
    const std::string good = read_file(a());
    write_file("cut.json", good.substr(0, good.size() / 3));
    nlohmann::ordered_json other = nlohmann::ordered_json::parse(good);
    other["program"] = "fio";
    write_file("fio.json", other.dump());
    other = nlohmann::ordered_json::parse(good);
    other["schema_version"] = 99;
    write_file("future.json", other.dump());
    other = nlohmann::ordered_json::parse(good);
    other["trials"][0]["measurements"][2].erase("ms");
    write_file("holed.json", other.dump());
    const std::pair<std::string, std::string> cases[] = {
        {"missing.json", "missing.json: No such file or directory"},
        {"notes.txt", "notes.txt: not valid JSON (truncated or damaged)"},
        {"cut.json", "cut.json: not valid JSON (truncated or damaged)"},
        {"fio.json", "fio.json: program: not a record of ovrel-bench"},
        {"future.json", "future.json: schema_version: is 99; this program reads 1 to 4"},
        {"holed.json", "holed.json: trials[0].measurements[2].ms: missing"},
    };
    for (const auto& c : cases) {
        const Result result = compare({a(), c.first});
        EXPECT_TRUE(exited_with(result, 1)) << c.first;
        EXPECT_EQ(result.out, "") << c.first;
        EXPECT_EQ(result.err, "ovrel-compare: " + c.second + "\n");
    }
    const Result usage = compare({a()});
    EXPECT_TRUE(exited_with(usage, 64));
    EXPECT_NE(usage.err.find("Usage: ovrel-compare [--format text|markdown|csv|json|openmetrics] [--output FILE]\n"
                             "                     [--plot FILE] [--group] [--smallest-difference PERCENT]\n"
                             "                     [--fleet [--by host|label]] RUN.json|DIR...\n"
                             "       ovrel-compare --version\n"),
              std::string::npos)
        << usage.err;
    EXPECT_TRUE(exited_with(compare({"--help"}), 64));
    EXPECT_TRUE(exited_with(compare({"--format", "xml", a(), b()}), 64));
    EXPECT_TRUE(exited_with(compare({"--bogus", a(), b()}), 64));
    // Read as strictly as the benchmark reads its numbers.
    for (const char* percent : {"-1", "100", "x", "5%", "nan", "", " 30", "0x1E", "1e1", "+5", ".5", "5.", "30 "})
        EXPECT_TRUE(exited_with(compare({"--smallest-difference", percent, a(), b()}), 64)) << percent;
    for (const char* percent : {"0", "12.5", "99.99"})
        EXPECT_TRUE(exited_with(compare({"--smallest-difference", percent, a(), b()}), 0)) << percent;
    EXPECT_TRUE(exited_with(compare({"--group", "--fleet", a(), b()}), 64));
    EXPECT_TRUE(exited_with(compare({"--group", "--format", "openmetrics", a(), b()}), 64));
    EXPECT_TRUE(exited_with(compare({"--fleet", "--by", "cpu", a(), b()}), 64));
}

TEST_F(CompareCli, FleetOfTwoCannotJudgeOutliers)
{
    make_runs(false);
    const Result result = compare({"--fleet", a(), renamed(b(), "other-host", "other.json")});
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    EXPECT_NE(result.out.find("Fleet: 2 hosts, 2 runs."), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Too few hosts to judge outliers"), std::string::npos);
    // Told apart by their labels, the two runs of this machine are two hosts.
    const Result by_label = compare({"--fleet", "--by", "label", a(), b()});
    EXPECT_NE(by_label.out.find("Fleet: 2 hosts, 2 runs."), std::string::npos) << by_label.out;
    EXPECT_NE(compare({"--fleet", a(), b()}).out.find("Fleet: 1 host, 2 runs."), std::string::npos);
    // A fleet too small to judge still has a plot: its hosts, not judged.
    const Result plotted = compare({"--fleet", "--plot", "one.svg", a()});
    EXPECT_TRUE(exited_with(plotted, 0)) << plotted.err;
    EXPECT_NE(read_file("one.svg").find("not judged"), std::string::npos);
}

// Names from a run never become gnuplot commands, in either mode.
TEST_F(CompareCli, PlotsAreDrawnAndNothingInARunIsExecuted)
{
    make_runs(false);
    const std::string hostile = "evil'\"\n`touch PWNED`\"; system(\"touch PWNED\"); '$(touch PWNED)";
    const std::string first = renamed(a(), hostile, "hostile.json");
    const std::string second = renamed(b(), "x\") ; system(\"touch PWNED\") ; print(\"", "quoted.json");
    const std::string third = renamed(b(), "plain", "plain.json");
    for (const char* plot : {"compare.svg", "compare.png"}) {
        const Result drawn = compare({"--plot", plot, first, second});
        ASSERT_TRUE(exited_with(drawn, 0)) << drawn.err;
    }
    for (const char* plot : {"fleet.svg", "fleet.png"}) {
        const Result drawn = compare({"--fleet", "--plot", plot, first, second, third});
        ASSERT_TRUE(exited_with(drawn, 0)) << drawn.err;
    }
    EXPECT_FALSE(file_exists("PWNED"));
    EXPECT_FALSE(file_exists(dir_.path + "/PWNED"));
    for (const char* svg : {"compare.svg", "fleet.svg"}) {
        const std::string text = read_file(svg);
        EXPECT_EQ(text.rfind("<?xml", 0), 0u) << svg;
        EXPECT_NE(text.find("</svg>"), std::string::npos) << svg;
    }
    for (const char* png : {"compare.png", "fleet.png"})
        EXPECT_EQ(read_file(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << png;
}

// The metrics file is replaced whole and readable by the collector that
// runs as another user; what is not a regular file, or is a record being
// read, is never replaced, and nothing half-written is left behind.
TEST_F(CompareCli, OutputReplacesOnlyRegularFiles)
{
    make_runs(false);
    write_file("metrics.prom", "old");
    const mode_t mask = umask(022);
    const Result written = compare({"--format", "openmetrics", "--output", "metrics.prom", a(), b()});
    umask(mask);
    ASSERT_TRUE(exited_with(written, 0)) << written.err;
    EXPECT_EQ(written.out, "");
    struct stat st{};
    ASSERT_EQ(lstat("metrics.prom", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const std::string text = read_file("metrics.prom");
    EXPECT_EQ(text.rfind("# HELP ovrel_rate_bytes_per_second ", 0), 0u) << text;
    EXPECT_NE(text.find("label=\"a\",measurement=\"seek\"} "), std::string::npos);
    EXPECT_NE(text.find("label=\"b\",measurement=\"seek\"} "), std::string::npos);
    // One run is enough for metrics.
    EXPECT_TRUE(exited_with(compare({"--format", "openmetrics", a()}), 0));

    // What is there to be kept, each checked afterwards.
    ASSERT_EQ(mkdir("sub", 0700), 0);
    ASSERT_EQ(mkdir("sub.svg", 0700), 0);
    write_file("victim", "keep");
    ASSERT_EQ(symlink("victim", "link.prom"), 0);
    ASSERT_EQ(symlink("victim", "link.svg"), 0);
    ASSERT_EQ(mkfifo("fifo.prom", 0600), 0);
    ASSERT_EQ(mkfifo("fifo.svg", 0600), 0);
    const bool device = geteuid() == 0 && mknod("null.prom", S_IFCHR | 0666, makedev(1, 3)) == 0;
    const std::string record_a = read_file(a());
    struct Row {
        std::vector<std::string> words;
        int status;
        std::string err;
    };
    const std::string as = a();
    const std::string bs = b();
    std::vector<Row> rows = {
        {{"--output", "missing/m.prom"}, 1, "ovrel-compare: cannot write missing/m.prom: No such file or directory\n"},
        {{"--output", "sub"}, 1, "ovrel-compare: cannot write sub: Is a directory\n"},
        {{"--output", "link.prom"}, 1, "ovrel-compare: cannot write link.prom: Not a regular file\n"},
        {{"--output", "fifo.prom"}, 1, "ovrel-compare: cannot write fifo.prom: Not a regular file\n"},
        {{"--output", as}, 1, "ovrel-compare: cannot write " + as + ": it is the record " + as + ", read for the report\n"},
        {{"--output", "sub/"}, 64, "ovrel-compare: --output needs a file name: sub/\n"},
        {{"--output="}, 64, "ovrel-compare: --output needs a file name: \n"},
        {{"--fleet"}, 64,
         "ovrel-compare: --format openmetrics takes the newest run of each host and label; it has no --fleet or --plot\n"},
    };
    for (Row& row : rows) {
        row.words.insert(row.words.begin(), {"--format", "openmetrics"});
        row.words.push_back(as);
    }
    const std::vector<Row> compare_rows = {
        {{"--plot", "link.svg", as, bs}, 1, "ovrel-compare: cannot write link.svg: Not a regular file\n"},
        {{"--plot", "fifo.svg", as, bs}, 1, "ovrel-compare: cannot write fifo.svg: Not a regular file\n"},
        {{"--plot", "sub.svg", as, bs}, 1, "ovrel-compare: cannot write sub.svg: Is a directory\n"},
        {{"--output", "same.svg", "--plot", "same.svg", as, bs}, 64,
         "ovrel-compare: --output and --plot name one file: same.svg\n"},
        {{"--plot", "", as, bs}, 64, "ovrel-compare: --plot needs a file name\n"},
        {{"--fleet", "--output", bs, as, bs}, 1,
         "ovrel-compare: cannot write " + bs + ": it is the record " + bs + ", read for the report\n"},
    };
    rows.insert(rows.end(), compare_rows.begin(), compare_rows.end());
    if (device)
        rows.push_back({{"--output", "null.prom", as, bs}, 1, "ovrel-compare: cannot write null.prom: Not a regular file\n"});
    for (const Row& row : rows) {
        const Result result = compare(row.words);
        EXPECT_TRUE(exited_with(result, row.status)) << row.err << " " << result.status;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), row.err);
        EXPECT_EQ(result.out, "") << row.words[2];
    }
    EXPECT_EQ(read_file("victim"), "keep");
    EXPECT_EQ(read_file(a()), record_a);
    for (const char* name : {"link.prom", "link.svg"})
        EXPECT_TRUE(lstat(name, &st) == 0 && S_ISLNK(st.st_mode)) << name;
    for (const char* name : {"fifo.prom", "fifo.svg"})
        EXPECT_TRUE(lstat(name, &st) == 0 && S_ISFIFO(st.st_mode)) << name;
    EXPECT_TRUE(!device || (lstat("null.prom", &st) == 0 && S_ISCHR(st.st_mode)));
    EXPECT_FALSE(file_exists("same.svg"));
    // Nothing half-written is left behind, whatever failed.
    std::string names;
    for (const char* directory : {".", "sub"})
        if (DIR* d = opendir(directory)) {
            while (dirent* entry = readdir(d))
                if (entry->d_name[0] == '.' && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    names += std::string(entry->d_name) + " ";
            closedir(d);
        }
    EXPECT_EQ(names, "");
}

// Input and output a hostile user chooses: each is refused with a clear
// message, neutralised, or kept from touching what is not the user's.
TEST_F(CompareCli, HostileInputAndOutput)
{
    make_runs(false);
    const auto shell = [](const std::string& command) { return run("/bin/sh", {"-c", command}); };
    const std::string compare_path = compare_binary();

    // Endless input ends in a message within bounded memory; a FIFO nobody
    // writes to is not waited on.
    const Result endless = shell("ulimit -v 1000000; exec " + compare_path + " /dev/zero " + a());
    EXPECT_TRUE(exited_with(endless, 1)) << endless.status;
    EXPECT_EQ(endless.err, "ovrel-compare: /dev/zero: larger than 64 MiB: not a run record\n");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    const Result fifo = shell("timeout 20 " + compare_path + " fifo " + a());
    EXPECT_TRUE(exited_with(fifo, 1)) << fifo.status;
    EXPECT_EQ(fifo.err, "ovrel-compare: fifo: empty, not a JSON document\n");

    // A rate the size and time cannot give is refused, not drawn.
    nlohmann::ordered_json document = nlohmann::ordered_json::parse(read_file(a()));
    document["trials"][0]["measurements"][0]["ms"] = 0;
    document["trials"][0]["measurements"][0]["mib_per_s"] = 1.7e308;
    write_file("huge.json", document.dump());
    const Result huge = compare({a(), "huge.json"});
    EXPECT_TRUE(exited_with(huge, 1));
    EXPECT_EQ(huge.err, "ovrel-compare: huge.json: trials[0].measurements[0].mib_per_s: must be null: a measurement "
                        "of 0 ms has no rate\n");
    document["trials"][0]["measurements"][0]["ms"] = 1;
    write_file("huge.json", document.dump());
    EXPECT_NE(compare({a(), "huge.json"}).err.find("mib_per_s: is not the rate of size_bytes, sweeps and ms"),
              std::string::npos);

    // Control characters in names and record contents are shown escaped.
    const Result named = compare({a(), "bad\033[31m.json"});
    EXPECT_EQ(named.err, "ovrel-compare: bad\\033[31m.json: No such file or directory\n");
    document = nlohmann::ordered_json::parse(read_file(a()));
    document["parameters"]["phases"] = {"disk\033[2J"};
    write_file("escape.json", document.dump());
    const Result escaped = compare({a(), "escape.json"});
    EXPECT_EQ(escaped.err.find('\033'), std::string::npos) << escaped.err;
    EXPECT_NE(escaped.err.find("disk\\033[2J"), std::string::npos) << escaped.err;

    // Spreadsheet formulas in names become text.
    const char* const formulas[] = {"=HYPERLINK(\"http://x\")", "+1", "-2", "@SUM(A1)", "\tx", "\rx"};
    std::vector<std::string> files;
    for (size_t i = 0; i < sizeof formulas / sizeof formulas[0]; ++i)
        files.push_back(renamed(a(), formulas[i], "formula" + std::to_string(i) + ".json"));
    // Control characters are escaped as in the other formats.
    files.push_back(renamed(a(), "bell\a\033[31mred", "control.json"));
    std::vector<std::string> words = {"--format", "csv", a()};
    words.insert(words.end(), files.begin(), files.end());
    const Result csv = compare(words);
    ASSERT_TRUE(exited_with(csv, 0)) << csv.err;
    EXPECT_EQ(csv.out.find_first_of("\a\033\t\r"), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find(",bell\\007\\033[31mred,"), std::string::npos) << csv.out;
    write_file("formulas.csv", csv.out);
    const Result cells = run("/bin/sh", {"-c", "python3 -c 'import csv\nfor row in csv.reader(open(\"formulas.csv\", "
                                               "newline=\"\")):\n    for cell in row:\n        "
                                               "print(repr(cell[:1]))' | sort -u"});
    ASSERT_TRUE(exited_with(cells, 0)) << cells.err;
    for (const char* first : {"'='", "'+'", "'@'", "'\\t'", "'\\r'"})
        EXPECT_EQ(cells.out.find(std::string(first) + "\n"), std::string::npos) << first << " begins a cell";

    // The plot never follows or replaces another user's link in a sticky
    // directory, and a name gnuplot would run is refused.
    ASSERT_EQ(mkdir("shared", 01777), 0);
    ASSERT_EQ(chmod("shared", 01777), 0);
    write_file("victim", "keep");
    ASSERT_EQ(symlink((dir_.path + "/victim").c_str(), "shared/plot.svg"), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(lchown("shared/plot.svg", 65534, 65534), 0);
    }
    const Result plot = compare({"--plot", "shared/plot.svg", a(), b()});
    EXPECT_TRUE(exited_with(plot, 1)) << plot.err;
    EXPECT_EQ(read_file("victim"), "keep");
    struct stat st{};
    ASSERT_EQ(lstat("shared/plot.svg", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const Result piped = compare({"--plot", "|touch PWNED.svg", a(), b()});
    EXPECT_TRUE(exited_with(piped, 64));
    EXPECT_EQ(piped.err.rfind("ovrel-compare: the plot's file name must not begin with |: ", 0), 0u) << piped.err;
    EXPECT_FALSE(file_exists("PWNED.svg"));

    // --version; a directory of records; --by only with --fleet.
    const Result version = compare({"--version"});
    EXPECT_TRUE(exited_with(version, 0));
    EXPECT_EQ(version.out, std::string("ovrel-compare ") + OVREL_VERSION + "\n");
    ASSERT_EQ(mkdir("records", 0700), 0);
    write_file("records/1-a.json", read_file(a()));
    write_file("records/2-b.json", read_file(b()));
    write_file("records/notes.txt", "not a record");
    const Result directory = compare({"--format", "json", "records"});
    ASSERT_TRUE(exited_with(directory, 0)) << directory.err;
    const nlohmann::json runs = nlohmann::json::parse(directory.out)["runs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["file"], "records/1-a.json");
    EXPECT_EQ(runs[1]["file"], "records/2-b.json");
    ASSERT_EQ(mkdir("empty", 0700), 0);
    EXPECT_EQ(compare({"--fleet", "empty"}).err, "ovrel-compare: empty: a directory without .json records\n");
    const Result by = compare({"--by", "label", a(), b()});
    EXPECT_TRUE(exited_with(by, 64));
    EXPECT_EQ(by.err.rfind("ovrel-compare: --by tells the hosts of a fleet apart: it needs --fleet\n", 0), 0u);
}

TEST_F(CompareCli, PlotWithoutGnuplotIsRefusedFirst)
{
    make_runs(false);
    const Result result = run(compare_binary().c_str(), {"--plot", "x.svg", a(), b()}, dir_.path.c_str());
    EXPECT_TRUE(exited_with(result, 1));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "ovrel-compare: --plot needs gnuplot (Debian: gnuplot-nox, FreeBSD: math/gnuplot)\n");
}

} // namespace
