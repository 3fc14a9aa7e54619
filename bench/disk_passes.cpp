// Runs the disk passes of one trial (write, read, rewrite, seek) exactly as
// the benchmark's trial loop does, without the memory test, and removes the
// scratch file afterwards. Output: the passes' own lines.
//
//   disk_passes GiB [--cold]       (in the directory to measure)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "disktest/scratch.h"

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "--cold") != 0)) {
        fprintf(stderr, "usage: %s GiB [--cold]\n", argv[0]);
        return 64;
    }
    scratch_set_cold(argc == 3);
    const uint64_t file_size = strtoull(argv[1], nullptr, 10) << 30;
    srandom(static_cast<unsigned>(time(nullptr)));
    write_pass(file_size);
    read_pass(file_size);
    write_pass(file_size);
    seek_pass(file_size);
    scratch_remove();
    return 0;
}
