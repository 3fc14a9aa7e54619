// Helpers shared by the tests: private directories, files, and running the binary.
#pragma once

#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, made the working
// directory for the test and removed with everything in it afterwards.
struct ScopedTempDir {
    std::string path;
    std::string previous;
};
ScopedTempDir enter_temp_dir();
void leave_temp_dir(const ScopedTempDir& dir);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
bool file_exists(const std::string& path);
long long file_length(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Mounts a file system of `type` (tmpfs, ramfs) on `path`; false where this
// machine does not allow it (no privilege, no such file system).
bool try_mount(const char* type, const std::string& path, const char* options);
void unmount(const std::string& path);
