// Runs the real binary in private directories, with standard input at end of file.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <poll.h>
#include <regex>
#include <string>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"

namespace {

struct RunResult {
    int status;  // as waitpid gives it
    std::string out;
    std::string err;
};

// Where a started binary's standard output goes, and where it runs.
struct Launch {
    const char* out_path = "stdout.txt";  // a file of the working directory
    int out_fd = -1;                      // or this descriptor, when not -1
    const char* directory = nullptr;      // run there instead of here
};

// Starts the binary with `arguments`, standard input from /dev/null and
// standard error in stderr.txt of the working directory; its output as
// `how` says.
pid_t launch(const std::vector<std::string>& arguments, const Launch& how)
{
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("ovrel-bench"));
        for (const std::string& word : arguments)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        const int in = open("/dev/null", O_RDONLY);
        const int out = how.out_fd != -1 ? how.out_fd : open(how.out_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (how.directory != nullptr && chdir(how.directory) != 0)
            _exit(126);
        execv(OVREL_BINARY, argv.data());
        _exit(127);
    }
    return child;
}

pid_t start(const std::vector<std::string>& arguments, const char* out_path = "stdout.txt")
{
    Launch how;
    how.out_path = out_path;
    return launch(arguments, how);
}

RunResult finish(pid_t child)
{
    RunResult result{};
    waitpid(child, &result.status, 0);
    result.out = read_file("stdout.txt");
    result.err = read_file("stderr.txt");
    unlink("stdout.txt");
    unlink("stderr.txt");
    return result;
}

RunResult run(const std::vector<std::string>& arguments)
{
    return finish(start(arguments));
}

// The names in the working directory, "." and ".." left out.
std::vector<std::string> directory_listing()
{
    std::vector<std::string> names;
    DIR* directory = opendir(".");
    while (dirent* entry = directory != nullptr ? readdir(directory) : nullptr)
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.push_back(entry->d_name);
    if (directory != nullptr)
        closedir(directory);
    return names;
}

bool exited_with(const RunResult& result, int code)
{
    return WIFEXITED(result.status) && WEXITSTATUS(result.status) == code;
}

const char* const RESULT = " +[0-9]+\\.00 ms +([0-9]+\\.[0-9]{2}|inf) MiB/s";

// The program's own lines of a run, from the trial headers to the averages,
// as patterns to match one for one.
std::vector<std::string> trial_lines(int trial, const char* file_label)
{
    const std::string rule(59, '=');
    std::vector<std::string> lines = {rule, "Trial " + std::to_string(trial) + "\\.\\.\\.", rule,
                                      "Testing small array, high cache hit-ratio\\.\\.\\."};
    for (int part = 0; part < 2; ++part) {
        if (part == 1)
            lines.push_back("Testing large array, low cache hit-ratio\\.\\.\\.");
        for (int wsize : {1, 2, 4, 8}) {
            const std::string size = part == 0 ? "256\\.00 KiB" : "[0-9]+\\.[0-9]{2} [KMG]iB";
            lines.push_back("Filling a " + size + " array " + (part == 0 ? "65536" : "8") + " times " +
                            std::to_string(wsize) + " bytes at a time\\.\\.\\.");
            lines.push_back(" *" + size + " array +" + std::to_string(wsize) + "\\.00 B blocks" + RESULT);
            lines.push_back("");
        }
    }
    const char* const headers[] = {"Writing 256 blocks of size 4194304 in sequential order\\.\\.\\.",
                                   "Reading 256 blocks of size 4194304 in sequential order\\.\\.\\.",
                                   "Writing 256 blocks of size 4194304 in sequential order\\.\\.\\.",
                                   "Reading 256 blocks of size 4194304 in random order\\.\\.\\."};
    const char* const labels[] = {"write  ", "read   ", "write  ", "seek   "};
    for (int pass = 0; pass < 4; ++pass) {
        lines.push_back(headers[pass]);
        lines.push_back("Total size = 1024 mebibytes\\.");
        lines.push_back("\\[ {64}\\]\b{65}\\*{64}");
        lines.push_back(std::string("    ") + file_label + " " + labels[pass] + "     4\\.00 MiB blocks" + RESULT);
        lines.push_back("");
    }
    return lines;
}

void expect_lines_match(const std::vector<std::string>& lines, size_t first,
                        const std::vector<std::string>& patterns)
{
    ASSERT_LE(first + patterns.size(), lines.size());
    for (size_t i = 0; i < patterns.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[first + i], std::regex(patterns[i])))
            << "line " << first + i + 1 << ": \"" << lines[first + i] << "\" against \"" << patterns[i] << "\"";
}

// The lines of a report without the notes of disturbed measurements, which
// depend on the machine; each note must follow a result line.
std::vector<std::string> lines_without_notes(const std::string& out)
{
    std::vector<std::string> lines;
    for (const std::string& line : split_lines(out)) {
        if (line.rfind("  note: ", 0) == 0) {
            EXPECT_TRUE(!lines.empty() && std::regex_search(lines.back(), std::regex(RESULT)))
                << "a note after \"" << (lines.empty() ? "" : lines.back()) << "\"";
            continue;
        }
        lines.push_back(line);
    }
    return lines;
}

double ms_of(const std::string& line)
{
    return std::stod(line.substr(line.find("blocks") + 6));
}

using EndToEnd = TempDirTest;

// Whole GiB the working directory's file system still has for us.
unsigned long long free_gib()
{
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        return 0;
    return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize >> 30;
}

// One full run of two trials without any of the later options: the notice,
// the report's own lines, both trials line by line, and averages that are the
// truncated means of the trials' lines.
TEST_F(EndToEnd, TwoTrialRunHasTheReportsStructure)
{
    if (free_gib() < 2)
        SKIP_OR_FAIL("less than 2 GiB free here for the 1 GiB scratch file");
    const RunResult result = run({"--trials", "2", "--file-size", "1"});
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    EXPECT_EQ(result.err, "Plan: 2 trials of the memory and disk tests; a 1.00 GiB scratch file in " + dir_.path +
                              "; 4.00 GiB written in all; smaller than twice the memory, so the disk passes will "
                              "measure the page cache.\n");
    EXPECT_EQ(result.out.rfind("\nThis test should be run on a completely idle system.\n"
                               "Make sure the load average near 0, and I/O activity\n"
                               "is nonexistant.  Single user mode is the best option.\n"
                               "\nPress return to begin...\n"
                               "Hostname =\t",
                               0),
              0u);
    const std::vector<std::string> lines = lines_without_notes(result.out);

    size_t first_trial = 0;
    while (first_trial < lines.size() && lines[first_trial] != std::string(59, '='))
        ++first_trial;
    const std::string report(result.out, 0, result.out.find(std::string(59, '=')));
    const char* const report_lines[] = {"\nCompiler =\tcc\n", "\nFile size =\t1024 MiB\n",
                                        "\nCWD =\t\t", "\nDate/time =\t", "\nI/O witness =\t",
                                        "\n\nDisk hardware:\n\n",
                                        "\n\nMount options:\n\n", "\n\nDisk free:\n\n"};
    size_t at = 0;
    for (const char* own : report_lines) {
        const size_t found = report.find(own, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << own;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_NE(report.find("\nCWD =\t\t" + dir_.path + "\n"), std::string::npos);

    const std::vector<std::string> one = trial_lines(1, "1\\.00 GiB");
    const std::vector<std::string> two = trial_lines(2, "1\\.00 GiB");
    expect_lines_match(lines, first_trial, one);
    expect_lines_match(lines, first_trial + one.size(), two);

    const size_t averages = first_trial + one.size() + two.size();
    ASSERT_EQ(lines.size(), averages + 13) << result.out;
    EXPECT_EQ(lines[averages], "Averages of 2 trials:");
    // Where each of the twelve measurements' result lines stands in a trial.
    const size_t offsets[] = {5, 8, 11, 14, 18, 21, 24, 27, 32, 37, 42, 47};
    const char* const labels[] = {"array", "array", "array", "array", "array",   "array",
                                  "array", "array", "write", "read",  "rewrite", "seek"};
    for (int m = 0; m < 12; ++m) {
        const std::string& average = lines[averages + 1 + m];
        const std::string& first = lines[first_trial + offsets[m]];
        const std::string& second = lines[first_trial + one.size() + offsets[m]];
        EXPECT_EQ(average.substr(0, 12), first.substr(0, 12)) << average;
        EXPECT_EQ(average.substr(13, 7), (std::string(labels[m]) + "       ").substr(0, 7)) << average;
        const double expected = static_cast<double>(static_cast<long long>(ms_of(first) + ms_of(second)) / 2);
        EXPECT_EQ(ms_of(average), expected) << average << " from\n" << first << "\n" << second;
    }
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

TEST_F(EndToEnd, HelpAndVersion)
{
    const RunResult help = run({"--help"});
    EXPECT_TRUE(exited_with(help, 64));
    EXPECT_EQ(help.out, "");
    EXPECT_EQ(split_lines(help.err).at(0), "Usage: ovrel-bench [--help] [--trials N] [--file-size GiB]");
    const RunResult version = run({"--version"});
    EXPECT_TRUE(exited_with(version, 0));
    EXPECT_TRUE(std::regex_match(version.out, std::regex("ovrel-bench [0-9]+\\.[0-9]+\\.[0-9]+\n")));
}

// Every refusal comes before the notice: nothing on standard output.
TEST_F(EndToEnd, RefusalsComeBeforeTheNotice)
{
    struct Row {
        std::vector<std::string> arguments;
        int code;
        const char* message;
    };
    const Row rows[] = {
        {{"--file-size", "1000000"}, 1, "^Not enough free space: the scratch file needs 976\\.56 TiB|"
                                        "^Not enough free space: the scratch file needs 1000000\\.00 GiB, .* is available\\.\n$"},
        {{"--directory", "/nonexistent/x"}, 1, "^Cannot use directory /nonexistent/x: No such file or directory\n$"},
        {{"--export-json", "/nonexistent/x.json"}, 1, "^Cannot write /nonexistent/x\\.json: No such file or directory\n$"},
        // The next run would take the record for its own leftover.
        {{"--export-json", "ovrel-bench.tempfile"}, 1,
         "^Cannot write ovrel-bench\\.tempfile: Is the scratch file of the directory to measure\n$"},
        {{"--trials", "0"}, 64, "^Invalid number of trials: 0\n"},
        // A directory given without --directory would otherwise start the
        // default run here.
        {{"/"}, 64, "^Unexpected argument: / \\(to measure a directory: --directory /\\)\n"},
        {{"--file-size", "3M"}, 64, "^File size 3M is less than one 4 MiB block: the smallest is 4M"},
        {{"--only", "memory", "--direct"}, 64, "^--direct means nothing with --only memory"},
    };
    for (const Row& row : rows) {
        const RunResult result = run(row.arguments);
        EXPECT_TRUE(exited_with(result, row.code)) << row.arguments[0] << ": " << result.err;
        EXPECT_EQ(result.out, "") << row.arguments[0];
        EXPECT_TRUE(std::regex_search(result.err, std::regex(row.message))) << result.err;
    }
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

// A report that cannot be written ends the run before the trials, not with a
// silent success after them.
TEST_F(EndToEnd, UnwritableReportIsAnError)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    const RunResult result = finish(start({"--file-size", "0"}, "/dev/full"));
    EXPECT_TRUE(exited_with(result, 1)) << result.status;
    EXPECT_NE(result.err.find("Cannot write the report: No space left on device\n"), std::string::npos)
        << result.err;
}

// Waits until the report in stdout.txt holds `text` (the bar's marks are
// flushed as they are drawn), however slow the machine; false, with the
// reason, when the run ended first.
testing::AssertionResult wait_for_output(pid_t child, const std::string& text)
{
    int status = 0;
    while (read_file("stdout.txt").find(text) == std::string::npos) {
        if (waitpid(child, &status, WNOHANG) == child)
            return testing::AssertionFailure() << "the run ended before its first pass: " << status << "\n"
                                               << read_file("stderr.txt");
        usleep(20000);
    }
    return testing::AssertionSuccess();
}

TEST_F(EndToEnd, InterruptDuringADiskPassRemovesTheScratchFile)
{
    // A file large enough that the passes outlast the polling below, where
    // the disk has room for it.
    const unsigned long long available = free_gib();
    if (available < 6)
        SKIP_OR_FAIL("only " << available << " GiB free here");
    const std::string gib = available > 20 ? "16" : "4";
    // The disk passes alone: nothing to wait through before the first.
    const pid_t child = start({"--only", "disk", "--trials", "1", "--file-size", gib});
    const std::string first_pass = "sequential order...\nTotal size = " + std::to_string(std::stoi(gib) * 1024) +
                                   " mebibytes.\n[";
    ASSERT_TRUE(wait_for_output(child, first_pass));
    kill(child, SIGINT);
    const RunResult result = finish(child);
    EXPECT_TRUE(WIFSIGNALED(result.status) && WTERMSIG(result.status) == SIGINT) << result.status;
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

// An interrupt while several jobs write stops them all and removes every
// job's file.
TEST_F(EndToEnd, InterruptDuringJobsRemovesEveryFile)
{
    const unsigned long long available = free_gib();
    if (available < 6)
        SKIP_OR_FAIL("only " << available << " GiB free here");
    const std::string gib = available > 20 ? "16" : "4";
    const pid_t child = start({"--only", "disk", "--trials", "1", "--file-size", gib, "--jobs", "3"});
    ASSERT_TRUE(wait_for_output(child, " mebibytes.\n["));
    kill(child, SIGINT);
    const RunResult result = finish(child);
    EXPECT_TRUE(WIFSIGNALED(result.status) && WTERMSIG(result.status) == SIGINT) << result.status;
    for (const char* name : {"ovrel-bench.tempfile.1", "ovrel-bench.tempfile.2", "ovrel-bench.tempfile.3"})
        EXPECT_FALSE(file_exists(name)) << name;
}

// A run of several jobs in small blocks says so in its plan, its machine
// description and its record, and keeps each job's time.
TEST_F(EndToEnd, JobsAndBlockSizeAreDescribedEverywhere)
{
    const RunResult result = run({"--only", "disk", "--trials", "1", "--file-size", "7M", "--jobs", "3",
                                  "--block-size", "4K", "--export-json", "run.json"});
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    EXPECT_NE(result.err.find("Plan: 1 trial of the disk tests; 3 scratch files of 2.33 MiB at once in " + dir_.path +
                              " in 4 KiB blocks; 13.99 MiB written in all;"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("File size =\t6 MiB (7M rounded down to whole 4 KiB blocks, the same number for every "
                              "job)\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\nJobs =\t\t3 streams at once, each on a file of 2.33 MiB of its own\n"
                              "Block size =\t4 KiB\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Reading 1791 blocks of size 4096 in random order...\n"), std::string::npos);
    const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
    EXPECT_EQ(document["schema_version"], 4);
    EXPECT_EQ(document["parameters"]["jobs"], 3);
    EXPECT_EQ(document["parameters"]["cores"], 1);
    EXPECT_EQ(document["parameters"]["block_bytes"], 4096);
    EXPECT_EQ(document["parameters"]["file_size_bytes"], 3 * 597 * 4096);
    for (const nlohmann::json& item : document["trials"][0]["measurements"])
        EXPECT_EQ(item["worker_us"].size(), 3u) << item["id"];
    for (const char* name : {"ovrel-bench.tempfile.1", "ovrel-bench.tempfile.2", "ovrel-bench.tempfile.3"})
        EXPECT_FALSE(file_exists(name)) << name;
}

// With standard output a pipe, the prompt is out and nothing follows it
// until a line is entered.
TEST_F(EndToEnd, WaitsForTheReturnKey)
{
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--trials", "1", "--file-size", "0", "--export-json",
              "run.json", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    auto read_for = [&](int timeout_ms) {
        std::string got;
        pollfd ready{out[0], POLLIN, 0};
        char buffer[4096];
        while (poll(&ready, 1, timeout_ms) > 0) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    };
    const std::string before = read_for(1500);
    EXPECT_EQ(before.substr(before.size() - 26), "\nPress return to begin...\n") << before;
    EXPECT_EQ(before.find("Hostname"), std::string::npos);
    const time_t key_pressed = time(nullptr);
    ASSERT_EQ(write(in[1], "\n", 1), 1);
    const std::string after = read_for(1500);
    EXPECT_EQ(after.rfind("Hostname =\t", 0), 0u) << after;
    int status = 0;
    waitpid(child, &status, 0);
    close(in[1]);
    close(out[0]);
    // The run began when the key was pressed, not when the program started to wait.
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string started = nlohmann::json::parse(read_file("run.json"))["started_at"];
    struct tm stamp{};
    ASSERT_NE(strptime(started.c_str(), "%Y-%m-%dT%H:%M:%SZ", &stamp), nullptr) << started;
    EXPECT_GE(timegm(&stamp), key_pressed) << started;
}

TEST_F(EndToEnd, JsonExportOfADirectRunMatchesThePrintedLines)
{
    if (free_gib() < 2)
        SKIP_OR_FAIL("less than 2 GiB free here for the 1 GiB scratch file");
    // Direct I/O needs a file system that takes it; most disk file systems do.
    const int probe = open("probe", O_WRONLY | O_CREAT | O_DIRECT, 0600);
    unlink("probe");
    if (probe < 0)
        GTEST_SKIP() << "this file system refuses direct I/O";
    close(probe);
    ASSERT_EQ(mkdir("data", 0700), 0);
    const RunResult result =
        run({"--trials", "1", "--file-size", "1", "--directory", "data", "--direct", "--export-json", "run.json"});
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    EXPECT_NE(result.out.find("\nCWD =\t\t" + dir_.path + "/data\nDate/time =\t"), std::string::npos);
    EXPECT_NE(result.out.find("\nDirect I/O =\trequested (O_DIRECT)\nI/O witness =\t"), std::string::npos);
    // Direct I/O goes around the page cache, however small the file.
    EXPECT_EQ(result.err.find("will measure the page cache"), std::string::npos) << result.err;
    const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
    EXPECT_EQ(document["parameters"]["direct_io"], true);
    EXPECT_EQ(document["machine"]["directory"], dir_.path + "/data");
    const nlohmann::json& measurements = document["trials"].at(0)["measurements"];
    ASSERT_EQ(measurements.size(), 12u);
    const std::vector<std::string> lines = lines_without_notes(result.out);
    size_t next = 0;
    for (const nlohmann::json& m : measurements) {
        while (next < lines.size() && lines[next].find(" MiB/s") == std::string::npos)
            ++next;
        ASSERT_LT(next, lines.size()) << m["id"];
        EXPECT_EQ(ms_of(lines[next]), m["ms"].get<double>()) << m["id"] << ": " << lines[next];
        ++next;
        // The large array's eight sweeps are timed one by one, within the
        // measurement; nothing else is.
        const bool large = m["id"].get<std::string>().rfind("large-", 0) == 0;
        ASSERT_EQ(m.contains("sweep_us"), large) << m["id"];
        if (large) {
            ASSERT_EQ(m["sweep_us"].size(), 8u) << m["id"];
            uint64_t sum = 0;
            for (const nlohmann::json& us : m["sweep_us"])
                sum += us.get<uint64_t>();
            EXPECT_LE(sum, m["us"].get<uint64_t>()) << m["id"];
        }
    }
    for (const nlohmann::json& average : document["averages"])
        EXPECT_NE(result.out.find(average["line"].get<std::string>() + "\n"), std::string::npos) << average["line"];
    EXPECT_FALSE(file_exists("data/ovrel-bench.tempfile"));
}

TEST_F(EndToEnd, DirectIoOnAFileSystemThatRefusesIt)
{
    if (!try_mount("ramfs", dir_.path + "/ram", nullptr))
        SKIP_OR_FAIL("cannot mount a ramfs here (needs root on Linux)");
    const RunResult result = run({"--directory", dir_.path + "/ram", "--direct", "--file-size", "0"});
    EXPECT_TRUE(exited_with(result, 1));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Direct I/O is not supported by the file system of " + dir_.path + "/ram: Invalid argument\n");
    unmount(dir_.path + "/ram");
    EXPECT_EQ(rmdir((dir_.path + "/ram").c_str()), 0) << "something was left behind";
}

// The typos that once started the full default run: each is refused before
// anything is printed on standard output or created.
TEST_F(EndToEnd, TyposNeverStartARun)
{
    const std::vector<std::string> typos[] = {
        {"--file-size=0.5"}, {"--filesize", "1"}, {"-s", "1"}, {"--trials=1x"}, {"--file-size", "abc"},
        {"--file-size", ""}, {"--only", "cpu"},   {"--trials", "1", "--quick"},
    };
    for (const std::vector<std::string>& words : typos) {
        const RunResult result = run(words);
        EXPECT_TRUE(exited_with(result, 64)) << words[0] << ": " << result.status;
        EXPECT_EQ(result.out, "") << words[0];
        EXPECT_NE(result.err.find("\nUsage: ovrel-bench [--help] [--trials N] [--file-size GiB]\n"), std::string::npos)
            << result.err;
        EXPECT_EQ(directory_listing(), std::vector<std::string>{}) << words[0];
    }
    const RunResult help = run({"-h"});
    EXPECT_TRUE(exited_with(help, 64));
    EXPECT_EQ(help.out, "");
}

TEST_F(EndToEnd, DiskOnlyRunRecordsItsFourMeasurements)
{
    const RunResult result = run({"--only", "disk", "--trials", "1", "--file-size", "64M", "--label", "quick",
                                  "--export-json", "run.json", "--seed", "4294967295"});
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    EXPECT_EQ(result.out.find("Filling a"), std::string::npos) << "no memory test";
    EXPECT_NE(result.out.find("Averages of 1 trials:\n   64.00 MiB write "), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("Plan: 1 trial of the disk tests; a 64.00 MiB scratch file in "), std::string::npos);
    const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
    EXPECT_EQ(document["parameters"]["phases"], nlohmann::json({"disk"}));
    EXPECT_EQ(document["label"], "quick");
    EXPECT_EQ(document["seed"], 4294967295u) << "the seed asked for is the seed used";
    EXPECT_EQ(document["trials"].at(0)["measurements"].size(), 4u);
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

// Asked how far it is (SIGUSR1 here, Ctrl-T on FreeBSD) again and again, the
// run answers on standard error and its report keeps every line it has
// without the questions, figures aside.
TEST_F(EndToEnd, StatusSignalAnswersAndTheRunGoesOn)
{
    const std::vector<std::string> arguments = {"--only", "disk", "--trials", "2", "--file-size", "256M"};
    const auto masked = [](const std::string& out) {
        std::vector<std::string> lines = lines_without_notes(out);
        for (std::string& line : lines)
            line = std::regex_replace(line, std::regex(" *[0-9]+(\\.[0-9]+)?"), " N");
        return lines;
    };
    const RunResult quiet = run(arguments);
    ASSERT_TRUE(exited_with(quiet, 0)) << quiet.err;

    // SIGUSR1 ends a process that has not yet said what it does with it:
    // ask once the notice is out, which comes after the handlers.
    const pid_t child = start(arguments);
    int status = 0;
    int asked = 0;
    while (read_file("stdout.txt").empty() && waitpid(child, &status, WNOHANG) == 0)
        usleep(1000);
    while (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGUSR1);
        ++asked;
        usleep(2000);
    }
    RunResult asking = finish(child);
    asking.status = status;
    ASSERT_TRUE(exited_with(asking, 0)) << asking.err;
    const std::vector<std::string> asked_lines = masked(asking.out);
    const std::vector<std::string> quiet_lines = masked(quiet.out);
    ASSERT_EQ(asked_lines.size(), quiet_lines.size()) << asking.out;
    for (size_t i = 0; i < quiet_lines.size(); ++i)
        EXPECT_EQ(asked_lines[i], quiet_lines[i]) << "line " << i + 1;

    const std::regex answer("ovrel-bench: (not measuring yet|trial [12] of 2, (between measurements|"
                            "(write|read|rewrite|seek), measurement [1-4] of 4: [0-9]+\\.[0-9]{3} s, [0-9]+ of 64 "
                            "blocks)(; (about|more than) [0-9]+ s left)?)");
    int answers = 0;
    int in_pass = 0;
    for (const std::string& line : split_lines(asking.err)) {
        if (line.rfind("ovrel-bench: ", 0) != 0)
            continue;
        EXPECT_TRUE(std::regex_match(line, answer)) << line;
        ++answers;
        in_pass += line.find(" blocks") != std::string::npos;
    }
    // Signals that arrive while one is pending are one signal.
    EXPECT_GT(answers, 0) << asked << " asked";
    EXPECT_GT(in_pass, 0) << asking.err;
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

// Hostile or careless surroundings: each is refused before the notice and
// leaves what it found as it was.
TEST_F(EndToEnd, WhatIsNotOursIsNeverWritten)
{
    write_file("victim.conf", "precious\n");
    ASSERT_EQ(link("victim.conf", "ovrel-bench.tempfile"), 0);
    RunResult result = run({"--only", "disk", "--file-size", "64M"});
    EXPECT_TRUE(exited_with(result, 1));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Cannot use the scratch file in " + dir_.path +
                              ".\novrel-bench.tempfile: Has more than one link\n");
    EXPECT_EQ(read_file("victim.conf"), "precious\n");
    ASSERT_EQ(unlink("ovrel-bench.tempfile"), 0);

    // The report redirected into the scratch file's name.
    result = finish(start({"--only", "disk", "--file-size", "64M"}, "ovrel-bench.tempfile"));
    EXPECT_TRUE(exited_with(result, 1));
    EXPECT_NE(result.err.find("ovrel-bench.tempfile: Is where the report is being written\n"), std::string::npos)
        << result.err;
    EXPECT_TRUE(file_exists("ovrel-bench.tempfile"));
}

TEST_F(EndToEnd, SecondRunInTheDirectoryIsRefused)
{
    // The first run holds the directory while it waits for the return key.
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    const pid_t first = fork();
    if (first == 0) {
        dup2(keys[0], 0);
        close(keys[1]);
        const int out = open("first.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--trials", "1", "--file-size", "64M",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(keys[0]);
    bool waiting = false;
    for (int i = 0; i < 500 && !waiting; ++i) {
        usleep(10000);
        waiting = read_file("first.txt").find("Press return to begin...") != std::string::npos;
    }
    ASSERT_TRUE(waiting);
    const RunResult second = run({"--only", "disk", "--trials", "1", "--file-size", "64M"});
    EXPECT_TRUE(exited_with(second, 1));
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Another ovrel-bench run is using " + dir_.path + ".\n");
    ASSERT_EQ(write(keys[1], "\n", 1), 1);
    close(keys[1]);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file("first.txt");
    EXPECT_NE(read_file("first.txt").find("Averages of 1 trials:"), std::string::npos);
}

// An interrupt after a finished trial keeps that trial in the record.
TEST_F(EndToEnd, InterruptedRunKeepsItsFinishedTrials)
{
    if (free_gib() < 3)
        SKIP_OR_FAIL("less than 3 GiB free here for the 1 GiB scratch file");
    const pid_t child = start({"--only", "disk", "--trials", "50", "--file-size", "1", "--export-json", "run.json"});
    bool in_second = false;
    for (int i = 0; i < 6000 && !in_second; ++i) {
        usleep(5000);
        in_second = read_file("stdout.txt").find("Trial 2...") != std::string::npos;
    }
    ASSERT_TRUE(in_second);
    kill(child, SIGINT);
    const RunResult result = finish(child);
    EXPECT_TRUE(WIFSIGNALED(result.status) && WTERMSIG(result.status) == SIGINT) << result.status;
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
    size_t started = 0;
    for (size_t at = 0; (at = result.out.find("\nTrial ", at)) != std::string::npos; ++at)
        ++started;
    const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
    EXPECT_EQ(document["complete"], false);
    EXPECT_EQ(document["parameters"]["trials"], 50);
    EXPECT_EQ(document["trials"].size(), started - 1) << "every finished trial, and not the one interrupted";
    EXPECT_GE(document["trials"].size(), 1u);
    EXPECT_NE(result.err.find("holds the "), std::string::npos) << result.err;
}

// A file size limit is a write error with its reason, not a silent death.
TEST_F(EndToEnd, FileSizeLimitIsAWriteError)
{
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 10 << 20;
        setrlimit(RLIMIT_FSIZE, &limit);
        const int null = open("/dev/null", O_RDWR);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--file-size", "64M", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(read_file("stderr.txt").find("Write error.  Aborting...\novrel-bench.tempfile: File too large\n"),
              std::string::npos)
        << read_file("stderr.txt");
}

// Puts `script` in DIR/bin under the names of the machine description's disk
// command on either system (lsblk, geom); returns the environment entry
// PATH=... that finds it first.
std::string fake_disk_command(const std::string& dir, const char* script)
{
    mkdir((dir + "/bin").c_str(), 0700);
    for (const char* command : {"lsblk", "geom"}) {
        const std::string file = dir + "/bin/" + command;
        write_file(file, script);
        chmod(file.c_str(), 0700);
    }
    return "PATH=" + dir + "/bin:/usr/bin:/bin";
}

// Ctrl-C while a report command runs reaches that command only (system()
// ignores it in the caller); the run must stop all the same.
TEST_F(EndToEnd, InterruptedReportCommandStopsTheRun)
{
    // Ctrl-C at a terminal signals the whole foreground process group.
    const std::string path = fake_disk_command(dir_.path, "#!/bin/sh\nkill -INT 0\n");
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        char* const environment[] = {const_cast<char*>(path.c_str()), nullptr};
        char* const argv[] = {const_cast<char*>("ovrel-bench"), const_cast<char*>("--file-size"),
                              const_cast<char*>("0"), nullptr};
        execve(OVREL_BINARY, argv, environment);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

// Write-back that fails after write() returned: ext4 on a loop device whose
// backing store (a small tmpfs) fills up. The flush after the write pass
// must bring the error out instead of a run that ends in success.
TEST_F(EndToEnd, FailedWriteBackIsAWriteError)
{
    if (!try_mount("tmpfs", dir_.path + "/back", "size=48m"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    const std::string image = dir_.path + "/back/image";
    const std::string setup = "truncate -s 400M " + image + " && mkfs.ext4 -q -F " + image +
                              " >/dev/null 2>&1 && mkdir " + dir_.path + "/mnt && mount -o loop " + image + " " +
                              dir_.path + "/mnt 2>/dev/null";
    if (system(setup.c_str()) != 0) {
        unmount(dir_.path + "/back");
        GTEST_SKIP() << "no loop device or mkfs.ext4 here";
    }
    const RunResult result = run({"--only", "disk", "--trials", "1", "--file-size", "128M", "--directory",
                                  dir_.path + "/mnt"});
    EXPECT_TRUE(exited_with(result, 1)) << result.status;
    EXPECT_TRUE(std::regex_search(result.err, std::regex("Write error\\.  Aborting\\.\\.\\.\n"
                                                         "ovrel-bench\\.tempfile: (No space left on device|"
                                                         "Input/output error)\n$")))
        << result.err;
    EXPECT_EQ(system(("umount " + dir_.path + "/mnt").c_str()), 0);
    unmount(dir_.path + "/back");
}

// A pseudo-terminal for a child: the master side for the test to read.
struct Terminal {
    int master = -1;
    std::string name;
};

Terminal open_terminal()
{
    Terminal terminal;
    terminal.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal.master >= 0 && grantpt(terminal.master) == 0 && unlockpt(terminal.master) == 0)
        terminal.name = ptsname(terminal.master);
    return terminal;
}

// Reads what the terminal shows onto `screen` until `enough` holds of it, the
// child's side is closed, or nothing comes for `quiet_ms`.
void read_screen(const Terminal& terminal, std::string* screen, const std::function<bool(const std::string&)>& enough,
                 int quiet_ms)
{
    pollfd ready{terminal.master, POLLIN, 0};
    char buffer[4096];
    while (!enough(*screen) && poll(&ready, 1, quiet_ms) > 0) {
        const ssize_t n = read(terminal.master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        screen->append(buffer, static_cast<size_t>(n));
    }
}

// Whether `child` ended within `seconds` (its status then in `status`).
bool reaped_within(pid_t child, int* status, int seconds)
{
    for (int waited_ms = 0; waited_ms < seconds * 1000; waited_ms += 10) {
        if (waitpid(child, status, WNOHANG) == child)
            return true;
        usleep(10000);
    }
    return false;
}

// Starts the binary on `terminal`: standard input and error, and standard
// output too unless `report` names a file for it.
pid_t start_on_terminal(const Terminal& terminal, const std::vector<std::string>& arguments, const char* report)
{
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int slave = open(terminal.name.c_str(), O_RDWR);
        const int out = report != nullptr ? open(report, O_WRONLY | O_CREAT | O_TRUNC, 0600) : slave;
        dup2(slave, 0);
        dup2(out, 1);
        dup2(slave, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("ovrel-bench"));
        for (const std::string& word : arguments)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(OVREL_BINARY, argv.data());
        _exit(127);
    }
    return child;
}

// With the report going to a file and the operator at a terminal, the
// notice and the prompt appear on the terminal too.
TEST_F(EndToEnd, RedirectedRunShowsItsPromptOnTheTerminal)
{
    const Terminal terminal = open_terminal();
    ASSERT_FALSE(terminal.name.empty());
    const pid_t child = start_on_terminal(terminal, {"--only", "disk", "--trials", "1", "--file-size", "0"}, "report.txt");
    std::string screen;
    const auto has = [](const char* text) {
        return [text](const std::string& shown) { return shown.find(text) != std::string::npos; };
    };
    read_screen(terminal, &screen, has("Press return to begin..."), 20000);
    EXPECT_NE(screen.find("This test should be run on a completely idle system."), std::string::npos) << screen;
    EXPECT_NE(screen.find("Press return to begin..."), std::string::npos) << screen;
    EXPECT_EQ(write(terminal.master, "\n", 1), 1);
    // The terminal also hears how long the run has taken after each trial:
    // read until that line is whole, however slowly it comes.
    const std::regex trial_done("[\r\n]Trial 1 of 1 done after [0-9]+ s\\.\r?\n");
    read_screen(terminal, &screen, [&](const std::string& shown) { return std::regex_search(shown, trial_done); },
                60000);
    // Then to the end: the terminal closes when the run does.
    read_screen(terminal, &screen, [](const std::string&) { return false; }, 60000);
    int status = 0;
    if (!reaped_within(child, &status, 60)) {
        ADD_FAILURE() << "the run did not end with its terminal";
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    close(terminal.master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(std::regex_search(screen, trial_done)) << screen;
    const std::string report = read_file("report.txt");
    EXPECT_NE(report.find("Averages of 1 trials:"), std::string::npos);
    EXPECT_EQ(report.find(" done after "), std::string::npos) << "the report itself is unchanged";
}

// At a terminal, asked how far it is again and again: each answer takes a line
// of its own and the bar it interrupted is drawn again below it, the report's
// own bar when the report shows on that terminal, and else a bar of the
// terminal's own, which the report file never sees.
TEST_F(EndToEnd, TerminalAnswersBesideTheBars)
{
    for (const char* report : {static_cast<const char*>(nullptr), "report.txt"}) {
        SCOPED_TRACE(report == nullptr ? "report on the terminal" : "report in a file");
        const Terminal terminal = open_terminal();
        ASSERT_FALSE(terminal.name.empty());
        const pid_t child =
            start_on_terminal(terminal, {"--only", "disk", "--trials", "1", "--file-size", "512M", "--yes"}, report);
        std::string screen;
        // The first pass has begun: its header, or the terminal's own bar.
        const char* begun = report == nullptr ? "Writing " : " of 128 blocks";
        read_screen(terminal, &screen, [&](const std::string& shown) { return shown.find(begun) != std::string::npos; },
                    60000);
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            kill(child, SIGUSR1);
            read_screen(terminal, &screen, [](const std::string&) { return false; }, 2);
        }
        read_screen(terminal, &screen, [](const std::string&) { return false; }, 200);
        close(terminal.master);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << screen;
        const std::string answer = "ovrel-bench: trial 1 of 1, (write|read|rewrite|seek), measurement [1-4] of 4: "
                                   "[0-9.]+ s, [0-9]+ of 128 blocks[^\r\n]*\r?\n";
        if (report == nullptr) {
            // The report's bar, left as it stood; the answer; the bar again,
            // its cursor back on the first blank.
            EXPECT_TRUE(std::regex_search(screen, std::regex("\\[[* ]*\\]\b*\\**\r?\n" + answer + "\\[[* ]*\\]\b+")))
                << screen;
        } else {
            // The terminal's bar is wiped before the answer and drawn again.
            EXPECT_TRUE(std::regex_search(
                screen, std::regex("\r +\r" + answer + "\r\\[[* ]{24}\\] [0-9]+ of 128 blocks")))
                << screen;
            EXPECT_NE(screen.find("] 128 of 128 blocks"), std::string::npos) << screen;
            const std::string written = read_file(report);
            EXPECT_EQ(written.find(" of 128 blocks"), std::string::npos) << written;
            EXPECT_EQ(written.find("ovrel-bench: trial"), std::string::npos) << written;
            EXPECT_NE(written.find("Averages of 1 trials:"), std::string::npos) << written;
        }
    }
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
}

// A status answer that standard error cannot take now is dropped: with its
// standard error a full FIFO that nobody reads, a run asked again and again
// still ends.
TEST_F(EndToEnd, StatusAnswerNeverWaitsForAFullStandardError)
{
    ASSERT_EQ(mkfifo("err.fifo", 0600), 0);
    const int reader = open("err.fifo", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const pid_t child = fork();
    if (child == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open("err.fifo", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--trials", "2", "--file-size", "2G", "--yes",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Everything the run says on standard error comes before its trials: once
    // they have begun, the FIFO is filled from a description of its own (the
    // run's stays blocking) and nobody reads it any more.
    int status = 0;
    while (read_file("stdout.txt").find("Trial 1...") == std::string::npos && waitpid(child, &status, WNOHANG) == 0) {
        char drain[4096];
        while (read(reader, drain, sizeof drain) > 0) {
        }
        usleep(1000);
    }
    const int filler = open("err.fifo", O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string chunk(4096, 'x');
    while (write(filler, chunk.data(), chunk.size()) > 0) {
    }
    int asked = 0;
    bool ended = false;
    for (int waited_ms = 0; waited_ms < 120000 && !ended; waited_ms += 2) {
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) {
            kill(child, SIGUSR1);
            ++asked;
            usleep(2000);
        }
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    close(filler);
    close(reader);
    EXPECT_TRUE(ended) << "the run waited on its full standard error after " << asked << " questions";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(asked, 0);
}

// --yes runs without a key, even with standard input open and silent.
TEST_F(EndToEnd, YesDoesNotWait)
{
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(keys[0], 0);
        close(keys[1]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--file-size", "0", "--trials", "1", "--yes",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(keys[0]);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && done == 0; ++i) {
        usleep(10000);
        done = waitpid(child, &status, WNOHANG);
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    close(keys[1]);
    EXPECT_NE(done, 0) << "still waiting for a key";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Starts the binary with its standard output on the write end of a pipe
// (closed here) and standard error in stderr.txt.
pid_t start_into_pipe(const std::vector<std::string>& arguments, int* read_end)
{
    // Close-on-exec keeps the read end out of the binary; dup2 clears it on
    // the binary's standard output.
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    Launch how;
    how.out_fd = out[1];
    const pid_t child = launch(arguments, how);
    *read_end = out[0];
    close(out[1]);
    return child;
}

// Reads the pipe into `seen` until `text` appears (or the writer is gone).
bool read_until(int fd, std::string* seen, const std::string& text)
{
    char buffer[4096];
    pollfd ready{fd, POLLIN, 0};
    while (seen->find(text) == std::string::npos) {
        if (poll(&ready, 1, 60000) <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

bool killed_by(int status, int signal_number)
{
    return WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

// The reader of the report goes away (a pager quit, `| head`) during the
// second trial: the first is saved, the scratch file goes, and the run dies
// by SIGPIPE as a pipeline expects.
TEST_F(EndToEnd, ReaderGoneKeepsTheFinishedTrials)
{
    int report = -1;
    const pid_t child = start_into_pipe(
        {"--only", "disk", "--trials", "3", "--file-size", "256M", "--export-json", "run.json"}, &report);
    ASSERT_GT(child, 0);
    std::string seen;
    ASSERT_TRUE(read_until(report, &seen, "Trial 2...")) << seen;
    close(report);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(killed_by(status, SIGPIPE)) << status << "\n" << read_file("stderr.txt");
    EXPECT_FALSE(file_exists("ovrel-bench.tempfile"));
    ASSERT_TRUE(file_exists("run.json")) << read_file("stderr.txt");
    const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
    EXPECT_EQ(document["complete"], false);
    EXPECT_GE(document["trials"].size(), 1u);
    EXPECT_LE(document["trials"].size(), 2u);
}

// A signal while the last of the report waits on a reader that takes
// nothing (a stopped pager): the record of every trial is written, and the
// run ends by that signal, neither as a failed report nor as a success.
TEST_F(EndToEnd, SignalWhileTheReportIsBlockedAtTheEnd)
{
    for (const int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        int report = -1;
        // 127 blocks: the bar's last mark comes halfway through the last
        // pass, so the pipe is full before the result and averages lines.
        const pid_t child = start_into_pipe(
            {"--only", "disk", "--trials", "2", "--file-size", "508M", "--export-json", "run.json"}, &report);
        ASSERT_GT(child, 0);
        std::string seen;
        ASSERT_TRUE(read_until(report, &seen, "Trial 2..."));
        seen.erase(0, seen.find("Trial 2..."));
        ASSERT_TRUE(read_until(report, &seen, "random order...\nTotal size = 508 mebibytes.\n["));
        seen.erase(0, seen.find("random order..."));
        ASSERT_TRUE(read_until(report, &seen, std::string(64, '*')));
        // Held still while the pipe is filled, so that it cannot reach its
        // last write first however busy the machine is.
        kill(child, SIGSTOP);
        int stopped = 0;
        ASSERT_EQ(waitpid(child, &stopped, WUNTRACED), child);
        ASSERT_TRUE(WIFSTOPPED(stopped)) << "the run ended before the pipe was full: " << stopped;
        // A second open of the pipe, non-blocking, fills it to the last byte
        // without changing how the program's own end blocks.
        const int filler = open(("/proc/self/fd/" + std::to_string(report)).c_str(), O_WRONLY | O_NONBLOCK);
        if (filler < 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            close(report);
            GTEST_SKIP() << "cannot open the pipe a second time (no /proc)";
        }
        const std::string block(4096, 'x');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        while (write(filler, "x", 1) > 0) {
        }
        kill(child, SIGCONT);
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 300 && done == 0; ++i) {
            usleep(10000);
            done = waitpid(child, &status, WNOHANG);
        }
        ASSERT_EQ(done, 0) << "the run ended although its report could not be written: " << status;
        kill(child, signal_number);
        waitpid(child, &status, 0);
        close(filler);
        close(report);
        EXPECT_TRUE(killed_by(status, signal_number)) << status << "\n" << read_file("stderr.txt");
        ASSERT_TRUE(file_exists("run.json")) << read_file("stderr.txt");
        const nlohmann::json document = nlohmann::json::parse(read_file("run.json"));
        EXPECT_EQ(document["complete"], true);
        EXPECT_EQ(document["trials"].size(), 2u);
        unlink("run.json");
    }
}

// The report cannot be written at the end (its file system filled up
// during the run): the record comes first, then the failure, exit 1.
TEST_F(EndToEnd, ReportLostAtTheEndStillSavesTheRecord)
{
    if (!try_mount("tmpfs", dir_.path + "/small", "size=64k"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    // How much a run prints before its trials, and in all.
    const RunResult whole = run({"--only", "disk", "--trials", "3", "--file-size", "0"});
    ASSERT_TRUE(exited_with(whole, 0)) << whole.err;
    const size_t before_trials = whole.out.find("====");
    ASSERT_NE(before_trials, std::string::npos);
    const size_t pages = (before_trials + 4095) / 4096;
    ASSERT_LT(pages * 4096, whole.out.size()) << "the trials must not fit in the report's last page";
    // Leave the report exactly the pages that hold what comes before the trials.
    struct statvfs fs;
    ASSERT_EQ(statvfs((dir_.path + "/small").c_str(), &fs), 0);
    const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    ASSERT_GT(free_bytes, pages * 4096);
    write_file(dir_.path + "/small/filler", std::string(free_bytes - pages * 4096, 'f'));
    const RunResult result = finish(start({"--only", "disk", "--trials", "3", "--file-size", "0", "--export-json",
                                           dir_.path + "/run.json"},
                                          (dir_.path + "/small/report.txt").c_str()));
    unmount(dir_.path + "/small");
    EXPECT_TRUE(exited_with(result, 1)) << result.status << "\n" << result.err;
    EXPECT_TRUE(std::regex_search(result.err, std::regex("Cannot write the report: No space left on device\n$")))
        << result.err;
    ASSERT_TRUE(file_exists("run.json"));
    EXPECT_EQ(nlohmann::json::parse(read_file("run.json"))["trials"].size(), 3u);
}

// An interrupt sent to the process alone (kill PID, not the terminal's
// process group) while a command of the machine description runs.
TEST_F(EndToEnd, SignalToTheProcessDuringAReportCommand)
{
    const std::string path = fake_disk_command(dir_.path, "#!/bin/sh\ntouch started\nexec sleep 2\n");
    for (const int signal_number : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signal_number);
        unlink("started");
        const pid_t child = fork();
        if (child == 0) {
            // No core file of the QUIT in the test's directory.
            rlimit no_core{};
            setrlimit(RLIMIT_CORE, &no_core);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            char* const environment[] = {const_cast<char*>(path.c_str()), nullptr};
            char* const argv[] = {const_cast<char*>("ovrel-bench"), const_cast<char*>("--only"),
                                  const_cast<char*>("disk"), const_cast<char*>("--file-size"),
                                  const_cast<char*>("0"), nullptr};
            execve(OVREL_BINARY, argv, environment);
            _exit(127);
        }
        for (int i = 0; i < 1000 && !file_exists("started"); ++i)
            usleep(10000);
        ASSERT_TRUE(file_exists("started"));
        kill(child, signal_number);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(killed_by(status, signal_number)) << status;
    }
}

// Without standard output the report would be lost: refused at once.
TEST_F(EndToEnd, ClosedStandardOutputIsRefused)
{
    const pid_t child = fork();
    if (child == 0) {
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        close(err);
        close(1);
        execl(OVREL_BINARY, "ovrel-bench", "--only", "disk", "--file-size", "0", "--yes", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(read_file("stderr.txt"), "Standard output is closed: the report would be lost.\n");
}

// A read-only working directory is refused before the notice, exactly as
// --directory with it is, and for its own reason.
TEST_F(EndToEnd, ReadOnlyDirectoryIsRefusedBeforeTheNotice)
{
    const std::string frozen = dir_.path + "/frozen";
    bool mounted = false;
    if (geteuid() == 0) {
        mounted = try_mount("tmpfs", frozen, "size=1m") && remount_read_only(frozen);
        if (!mounted)
            SKIP_OR_FAIL("cannot mount a read-only tmpfs here");
    } else {
        ASSERT_EQ(mkdir(frozen.c_str(), 0500), 0);
    }
    const char* const reason = mounted ? "Read-only file system" : "Permission denied";
    const RunResult given = run({"--only", "disk", "--file-size", "4M", "--directory", frozen});
    // The same from inside it; the output files stay here.
    Launch inside;
    inside.directory = frozen.c_str();
    const RunResult here = finish(launch({"--only", "disk", "--file-size", "4M"}, inside));
    if (mounted)
        unmount(frozen);
    for (const RunResult* result : {&given, &here}) {
        EXPECT_TRUE(exited_with(*result, 1)) << result->err;
        EXPECT_EQ(result->out, "");
        EXPECT_EQ(result->err, "Cannot use directory " + frozen + ": " + reason + "\n");
    }
}

// A scratch file that cannot be removed at the end of a trial is an error,
// never a file of twice the memory left behind in silence.
TEST_F(EndToEnd, ScratchFileThatCannotBeRemovedIsAnError)
{
    if (system("strace -o /dev/null -e inject=unlink:error=EBUSY true >/dev/null 2>&1") != 0)
        SKIP_OR_FAIL("no strace that can inject errors here");
    const std::string command = std::string("strace -o /dev/null -e trace=unlink,unlinkat ") +
                                "-e inject=unlink,unlinkat:error=EBUSY " + OVREL_BINARY +
                                " --only disk --trials 1 --file-size 4M </dev/null >stdout.txt 2>stderr.txt";
    const int status = system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string err = read_file("stderr.txt");
    EXPECT_TRUE(err.size() > 0 && err.find("Cannot remove") != std::string::npos &&
                err.substr(err.find("Cannot remove")) ==
                    "Cannot remove " + dir_.path + "/ovrel-bench.tempfile: Device or resource busy\n")
        << err;
    EXPECT_EQ(read_file("stdout.txt").find("Averages"), std::string::npos);
}

// What a cold run's passes measured, from its record.
struct ColdPass {
    int64_t us;
    nlohmann::json witness;
};
std::map<std::string, ColdPass> passes_of(const std::string& record)
{
    std::map<std::string, ColdPass> passes;
    const nlohmann::json document = nlohmann::json::parse(read_file(record));
    for (const nlohmann::json& m : document["trials"].at(0)["measurements"])
        passes[m["id"].get<std::string>()] = {m["us"].get<int64_t>(), m["witness"]};
    return passes;
}

// The cold write's interval ends after its fsync: with every fsync made to
// take 300 ms longer, a cold write takes at least that, a default one (which
// flushes after its interval) does not.
TEST_F(EndToEnd, ColdWriteIsTimedToItsFsync)
{
    if (system("strace -o /dev/null -e inject=fsync:delay_exit=1 true >/dev/null 2>&1") != 0)
        SKIP_OR_FAIL("no strace that can delay system calls here");
    for (const bool cold : {false, true}) {
        const std::string command = std::string("strace -o /dev/null -e trace=fsync -e inject=fsync:delay_exit=300000 ") +
                                    OVREL_BINARY + " --only disk --trials 1 --file-size 8M --export-json run.json" +
                                    (cold ? " --cold" : "") + " </dev/null >stdout.txt 2>stderr.txt";
        const int status = system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file("stderr.txt");
        const std::map<std::string, ColdPass> passes = passes_of("run.json");
        for (const char* id : {"write", "rewrite"}) {
            const ColdPass& pass = passes.at(id);
            EXPECT_EQ(pass.us >= 300000, cold) << id << (cold ? " cold: " : ": ") << pass.us << " us";
            EXPECT_GE(pass.witness["flush_us"].get<int64_t>(), 300000) << id;
        }
        EXPECT_EQ(nlohmann::json::parse(read_file("run.json"))["parameters"]["cold"], cold);
    }
}

// A file that fits in memory: a cold run reads it from the device, each read
// pass far slower than the cached reads of an ordinary run of the same file.
TEST_F(EndToEnd, ColdReadsComeFromTheDevice)
{
    const uint64_t size = uint64_t{256} << 20;
    const RunResult cold = run({"--only", "disk", "--trials", "1", "--file-size", "256M", "--cold", "--export-json",
                                "cold.json"});
    ASSERT_TRUE(exited_with(cold, 0)) << cold.err;
    const RunResult warm = run({"--only", "disk", "--trials", "1", "--file-size", "256M", "--export-json", "warm.json"});
    ASSERT_TRUE(exited_with(warm, 0)) << warm.err;
    EXPECT_NE(cold.out.find("\nCold =\t\teach write timed to its fsync, cached pages dropped before each read\n"),
              std::string::npos);
    EXPECT_NE(cold.err.find("Plan: 1 trial of the disk tests, cold; a 256.00 MiB scratch file in "), std::string::npos);
    EXPECT_EQ(cold.err.find("will measure the page cache"), std::string::npos) << cold.err;
    EXPECT_EQ(warm.out.find("\nCold ="), std::string::npos);

    const std::map<std::string, ColdPass> cold_passes = passes_of("cold.json");
    const std::map<std::string, ColdPass> warm_passes = passes_of("warm.json");
    if (cold_passes.at("read").witness["device_read_bytes"].is_null())
        SKIP_OR_FAIL("no block device holds " << dir_.path << ": the device's reads cannot be counted");
    for (const char* id : {"read", "seek"}) {
        const nlohmann::json& w = cold_passes.at(id).witness;
        EXPECT_GE(w["device_read_bytes"].get<uint64_t>(), size * 9 / 10) << id;
        EXPECT_LE(w["resident_bytes"].get<uint64_t>(), size / 50) << id;
        EXPECT_EQ(std::count(w["disturbed"].begin(), w["disturbed"].end(), "page-cache"), 0) << id;
        const nlohmann::json& ordinary = warm_passes.at(id).witness;
        EXPECT_FALSE(ordinary.contains("resident_bytes")) << id;
        // The bounds below hold of a machine where nothing else ran: the
        // witness says whether another process took the CPU or the disk.
        const auto disturbed = [](const nlohmann::json& witness) {
            for (const auto& reason : witness["disturbed"])
                if (reason != "page-cache")
                    return true;
            return false;
        };
        if (disturbed(w) || disturbed(ordinary)) {
            std::cout << "[ SKIPPED  ] " << id << ": the witness saw other work (" << w["disturbed"] << ", "
                      << ordinary["disturbed"] << "), so its times and device bytes are not the run's own\n";
            continue;
        }
        EXPECT_LT(ordinary["device_read_bytes"].get<uint64_t>(), size / 10) << id << ": an ordinary run reads the cache";
        EXPECT_GT(cold_passes.at(id).us, 2 * warm_passes.at(id).us) << id;
    }
}

// A cold read whose cached pages could not be dropped, or counted after the
// drop (the failures injected with strace), is not taken for a read from the
// disk: it is marked page-cache and its note gives the system's reason.
TEST_F(EndToEnd, ColdReadThatCannotDropOrCountIsMarked)
{
    if (system("strace -o /dev/null -e inject=fadvise64:error=EIO true >/dev/null 2>&1") != 0)
        SKIP_OR_FAIL("no strace that can make system calls fail here");
    struct Row {
        const char* call;
        const char* inject;
        const char* words;
    };
    const Row rows[] = {
        {"fadvise64", "fadvise64:error=EIO", "the cached pages could not be dropped (Input/output error)"},
        {"mincore", "mincore:error=ENOMEM", "what stayed in the page cache could not be counted (Cannot allocate memory)"},
    };
    for (const Row& row : rows) {
        const std::string command = std::string("strace -f -o /dev/null -e trace=") + row.call + " -e inject=" + row.inject + " " +
                                    OVREL_BINARY + " --only disk --trials 1 --file-size 16M --cold --export-json run.json"
                                    " </dev/null >stdout.txt 2>stderr.txt";
        const int status = system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << row.inject << ": " << read_file("stderr.txt");
        const std::string out = read_file("stdout.txt");
        const std::map<std::string, ColdPass> passes = passes_of("run.json");
        for (const char* id : {"read", "seek"}) {
            const nlohmann::json& reasons = passes.at(id).witness["disturbed"];
            EXPECT_EQ(std::count(reasons.begin(), reasons.end(), "page-cache"), 1) << row.inject << " " << id;
            EXPECT_FALSE(passes.at(id).witness.contains("resident_bytes")) << row.inject << " " << id;
        }
        size_t noted = 0;
        for (const std::string& line : split_lines(out))
            noted += line.rfind("  note: ", 0) == 0 && line.find(row.words) != std::string::npos;
        EXPECT_EQ(noted, 2u) << row.inject << "\n" << out;
    }
}

// Where the cache ignores the advice (tmpfs here, ZFS's ARC elsewhere) the
// report says that the cold read figures include it.
TEST_F(EndToEnd, ColdReadOfAFileThatStaysCachedIsNoted)
{
    if (!try_mount("tmpfs", dir_.path + "/mem", "size=64m"))
        SKIP_OR_FAIL("cannot mount a tmpfs here (needs root on Linux)");
    const RunResult result = run({"--directory", dir_.path + "/mem", "--only", "disk", "--trials", "1", "--file-size",
                                  "16M", "--cold", "--export-json", "run.json"});
    unmount(dir_.path + "/mem");
    ASSERT_TRUE(exited_with(result, 0)) << result.err;
    const std::string note = "  note: 16.00 MiB of 16.00 MiB stayed in the page cache after the drop: "
                             "the figure includes the cache";
    // Other reasons may come first on a busy machine: the words are looked
    // for within the note.
    const std::vector<std::string> lines = split_lines(result.out);
    int noted = 0;
    for (size_t i = 1; i < lines.size(); ++i)
        if (lines[i].rfind("  note: ", 0) == 0 && lines[i].find(note.substr(8)) != std::string::npos) {
            ++noted;
            EXPECT_TRUE(std::regex_search(lines[i - 1], std::regex(" (read|seek) +4\\.00 MiB blocks"))) << lines[i - 1];
        }
    EXPECT_EQ(noted, 2) << result.out;
    const std::map<std::string, ColdPass> passes = passes_of("run.json");
    for (const char* id : {"read", "seek"}) {
        EXPECT_EQ(passes.at(id).witness["resident_bytes"], uint64_t{16} << 20) << id;
        const nlohmann::json& reasons = passes.at(id).witness["disturbed"];
        EXPECT_EQ(std::count(reasons.begin(), reasons.end(), "page-cache"), 1) << id;
    }
}

} // namespace
