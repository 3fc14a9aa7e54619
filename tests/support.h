// Helpers shared by the tests: private directories, files, and running the binary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/trials.h"

// A fresh directory under the system's temporary directory, made the working
// directory for the test and removed with everything in it afterwards.
struct ScopedTempDir {
    std::string path;
    std::string previous;
};
ScopedTempDir enter_temp_dir();
void leave_temp_dir(const ScopedTempDir& dir);

// Skips a test that this machine cannot host (no room, no privilege), or
// fails it when the environment asks for every test to run
// (OVREL_REQUIRE_ALL_TESTS=1, as CI does).
bool all_tests_required();
#define SKIP_OR_FAIL(reason)                                   \
    do {                                                       \
        if (all_tests_required())                              \
            FAIL() << reason << " (every test is required)";   \
        else                                                   \
            GTEST_SKIP() << reason;                            \
    } while (0)

// A test that runs in a private temporary directory of its own.
class TempDirTest : public testing::Test {
protected:
    void SetUp() override { dir_ = enter_temp_dir(); }
    void TearDown() override { leave_temp_dir(dir_); }
    ScopedTempDir dir_;
};

// Runs `body` in a child process whose standard output is collected and whose
// standard error is discarded; the child's exit status is as waitpid gives it.
struct ChildRun {
    int status;
    std::string out;
};
ChildRun run_in_child(const std::function<void()>& body);

// One row of milliseconds per trial, indexed like the table of measurements.
std::vector<TrialTimes> times_of(const std::vector<std::vector<int64_t>>& trials);

// The result line that print_result prints, newline included.
std::string result_line(uint64_t ms, const char* label, uint64_t size, int32_t sweeps, uint64_t block);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
bool file_exists(const std::string& path);
long long file_length(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Mounts a file system of `type` (tmpfs, ramfs) on `path`; false where this
// machine does not allow it (no privilege, no such file system).
bool try_mount(const char* type, const std::string& path, const char* options);
bool remount_read_only(const std::string& path);
void unmount(const std::string& path);
