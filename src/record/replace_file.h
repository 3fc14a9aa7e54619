// Replacing a file whole: what the run record and the compare tool's
// reports and plots are written with.
#pragma once

#include <string>
#include <sys/stat.h>

// The directory part of `path`: "." when it has none, "/" for a file there.
std::string directory_of(const std::string& path);
// Why `path` may not be replaced by a rename: a directory, device, FIFO,
// socket or link there would be replaced, not written, and in a sticky
// directory only the owners may replace a file. Null where it may (a
// regular file, or no file); `*existing` then tells whether one is there
// and which it is.
const char* why_not_replaceable(const std::string& path, bool* exists, struct stat* existing);
// Creates and opens a new file named after `pattern` (ending in XXXXXX)
// in the directory of `path`, exclusively, so that no link is followed; the
// descriptor, or -1 with errno set. `*temporary` is its name.
int create_beside(const std::string& path, const std::string& pattern, std::string* temporary);
// Writes `text` to `path` so that a reader sees the old file or the whole
// new one: a file made by create_beside, moded as a new file under the
// umask, written, flushed, renamed over `path` (a link there is replaced,
// not followed), then the directory flushed. 0, or the errno value of the
// step that failed, with nothing left behind.
int replace_file(const std::string& path, const std::string& pattern, const std::string& text);
// The same with the contents written by `write_to` into the new file's
// descriptor (left open for the caller to close), which returns 0 or an
// errno value.
int replace_file_with(const std::string& path, const std::string& pattern, int (*write_to)(int fd, void* context),
                      void* context);
