#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compare/compare.h"

// Writes `text` to `path` so that a reader sees the old file or the whole new
// one, never part of it: a hidden temporary file in the same directory
// (created exclusively, so no one's link is followed), flushed, then renamed
// over `path`. Moded as a new file would be (the collector of a metrics
// file runs as another user). False with `*error` on failure, nothing left.
bool write_file_atomically(const std::string& path, const std::string& text, std::string* error)
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
