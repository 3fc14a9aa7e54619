#include "record/replace_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes a new name in `directory` durable; 0 or an errno value. A
// directory this user cannot open for reading, or a file system that
// cannot flush a directory, leaves the name to the system's own write-back.
int flush_directory(const std::string& directory)
{
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const int error = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP ? 0 : errno;
    close(fd);
    return error;
}

} // namespace

std::string directory_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

const char* why_not_replaceable(const std::string& path, bool* exists, struct stat* existing)
{
    *exists = lstat(path.c_str(), existing) == 0;
    if (!*exists)
        return nullptr;
    if (S_ISDIR(existing->st_mode))
        return strerror(EISDIR);
    if (!S_ISREG(existing->st_mode))
        return "Not a regular file";
    struct stat directory;
    if (geteuid() != 0 && stat(directory_of(path).c_str(), &directory) == 0 && (directory.st_mode & S_ISVTX) != 0 &&
        existing->st_uid != geteuid() && directory.st_uid != geteuid())
        return strerror(EPERM);
    return nullptr;
}

int create_beside(const std::string& path, const std::string& pattern, std::string* temporary)
{
    *temporary = directory_of(path) + "/" + pattern;
    return mkstemp(&(*temporary)[0]);
}

namespace {

int write_text(int fd, void* context)
{
    const std::string& text = *static_cast<const std::string*>(context);
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            return errno;
        if (n == 0)
            return EIO;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

int replace_file(const std::string& path, const std::string& pattern, const std::string& text)
{
    return replace_file_with(path, pattern, write_text, const_cast<std::string*>(&text));
}

int replace_file_with(const std::string& path, const std::string& pattern, int (*write_to)(int fd, void* context),
                      void* context)
{
    std::string temporary;
    const int fd = create_beside(path, pattern, &temporary);
    if (fd < 0)
        return errno;
    // Each step that fails sets `error` from its own errno, so that no
    // reason is left over from an earlier call. mkstemp makes the file
    // private; it gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    int error = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    if (error == 0)
        error = write_to(fd, context);
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    return flush_directory(directory_of(path));
}
