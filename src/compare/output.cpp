#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "compare/compare.h"
#include "record/replace_file.h"

namespace {

// Hidden, and not ending in the final name's suffix: a reader of *.prom
// never takes it.
std::string hidden_pattern(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return "." + base + ".XXXXXX";
}

struct StreamWriter {
    void (*write)(FILE* sink, void* context);
    void* context;
};

int write_stream(int fd, void* context)
{
    const StreamWriter& writer = *static_cast<const StreamWriter*>(context);
    const int copy = dup(fd);
    FILE* sink = copy < 0 ? nullptr : fdopen(copy, "w");
    if (sink == nullptr) {
        const int error = errno;
        if (copy >= 0)
            close(copy);
        return error;
    }
    writer.write(sink, writer.context);
    const bool failed = ferror(sink) != 0 || fflush(sink) != 0;
    const int error = failed ? (errno != 0 ? errno : EIO) : 0;
    return fclose(sink) != 0 && error == 0 ? errno : error;
}

} // namespace

bool write_stream_atomically(const std::string& path, void (*write)(FILE* sink, void* context), void* context,
                             std::string* error)
{
    StreamWriter writer{write, context};
    const int failure = replace_file_with(path, hidden_pattern(path), write_stream, &writer);
    if (failure != 0)
        *error = strerror(failure);
    return failure == 0;
}

bool write_file_atomically(const std::string& path, const std::string& text, std::string* error)
{
    const int failure = replace_file(path, hidden_pattern(path), text);
    if (failure != 0)
        *error = strerror(failure);
    return failure == 0;
}
