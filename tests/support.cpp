#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "measure/result.h"
#include "sysreport/report.h"

bool all_tests_required()
{
    const char* value = getenv("OVREL_REQUIRE_ALL_TESTS");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

ScopedTempDir enter_temp_dir()
{
    ScopedTempDir dir;
    dir.previous = working_directory();
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/ovrel-test.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return dir;
    }
    dir.path = pattern;
    if (chdir(dir.path.c_str()) != 0)
        ADD_FAILURE() << "chdir " << dir.path;
    return dir;
}

void leave_temp_dir(const ScopedTempDir& dir)
{
    if (chdir(dir.previous.c_str()) != 0)
        ADD_FAILURE() << "chdir back to " << dir.previous;
    if (dir.path.empty())
        return;
    chmod(dir.path.c_str(), 0700);
    nftw(
        dir.path.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

ChildRun run_in_child(const std::function<void()>& body)
{
    ChildRun run{};
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return run;
    }
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        if (freopen("/dev/null", "w", stderr) == nullptr)
            _exit(98);
        body();
        _exit(99);
    }
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        run.out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(child, &run.status, 0);
    return run;
}

std::vector<TrialTimes> times_of(const std::vector<std::vector<int64_t>>& trials)
{
    std::vector<TrialTimes> times;
    for (const std::vector<int64_t>& row : trials) {
        TrialTimes trial{};
        // Whole milliseconds, as a measurement of exactly that long would give.
        for (size_t i = 0; i < row.size(); ++i) {
            trial.ms[i] = row[i];
            trial.us[i] = row[i] * 1000;
        }
        times.push_back(trial);
    }
    return times;
}

std::string result_line(uint64_t ms, const char* label, uint64_t size, int32_t sweeps, uint64_t block)
{
    char line[RESULT_LINE_LEN];
    format_result(line, ms, label, size, sweeps, block);
    return line;
}

std::string read_file(const std::string& path)
{
    std::string contents;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return contents;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        contents.append(buffer, n);
    fclose(file);
    return contents;
}

void write_file(const std::string& path, const std::string& contents)
{
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(contents.data(), 1, contents.size(), file);
    fclose(file);
}

bool file_exists(const std::string& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

long long file_length(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool try_mount(const char* type, const std::string& path, const char* options)
{
#if defined(__linux__)
    mkdir(path.c_str(), 0755);
    return mount(type, path.c_str(), type, 0, options) == 0;
#else
    (void)type;
    (void)path;
    (void)options;
    return false;
#endif
}

bool remount_read_only(const std::string& path)
{
#if defined(__linux__)
    return mount("none", path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
#else
    (void)path;
    return false;
#endif
}

void unmount(const std::string& path)
{
#if defined(__linux__)
    umount2(path.c_str(), MNT_DETACH);
#else
    (void)path;
#endif
}
