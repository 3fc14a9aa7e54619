#include <cstring>

#include "compare/compare.h"
#include "record/replace_file.h"

bool write_file_atomically(const std::string& path, const std::string& text, std::string* error)
{
    // Hidden, and not ending in the final name's suffix: a reader of *.prom
    // never takes it.
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const int failure = replace_file(path, "." + base + ".XXXXXX", text);
    if (failure != 0)
        *error = strerror(failure);
    return failure == 0;
}
