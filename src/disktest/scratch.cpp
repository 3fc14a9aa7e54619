#include "disktest/scratch.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "measure/result.h"

alignas(BUFFER_ALIGN) unsigned char write_buffer[BLOCK_SIZE];
alignas(BUFFER_ALIGN) unsigned char read_buffer[BLOCK_SIZE];
alignas(BUFFER_ALIGN) unsigned char seek_buffer[BLOCK_SIZE];

volatile sig_atomic_t scratch_file_live = 0;

namespace {
int scratch_extra_flags = 0;
}

int direct_io_flag()
{
#if defined(O_DIRECT)
    return O_DIRECT;
#else
    return 0;
#endif
}

void scratch_use_direct_io()
{
    scratch_extra_flags = direct_io_flag();
}

int open_scratch(int access, int* error)
{
    // O_NONBLOCK keeps a FIFO planted under the name from stalling the open;
    // it is taken off again once the file is known to be a regular one.
    const int fd = open(SCRATCH_FILE, access | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | scratch_extra_flags,
                        0600);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        *error = NOT_REGULAR_FILE;
        return -1;
    }
    if (fcntl(fd, F_SETFL, scratch_extra_flags) != 0) {
        *error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

int open_scratch_or_die(int access, const char* message)
{
    int error = 0;
    const int fd = open_scratch(access, &error);
    if (fd < 0)
        scratch_fatal(message, error);
    return fd;
}

void scratch_fatal(const char* message, int error)
{
    putchar('\n');
    fflush(stdout);
    fputs(message, stderr);
    if (error == NOT_REGULAR_FILE)
        fprintf(stderr, "%s: Not a regular file\n", SCRATCH_FILE);
    else if (error != 0)
        fprintf(stderr, "%s: %s\n", SCRATCH_FILE, strerror(error));
    exit(1);
}

void print_pass_header(const char* verb, uint64_t blocks, const char* order)
{
    printf("%s %" PRIu64 " blocks of size %lu in %s order...\n", verb, blocks,
           static_cast<unsigned long>(BLOCK_SIZE), order);
    // What is really transferred: whole blocks only.
    printf("Total size = %" PRIu64 " mebibytes.\n", blocks * 4);
}

int64_t finish_pass(const TimeReading& start, const TimeReading& stop, const char* label,
                    uint64_t file_size)
{
    const int64_t ms = elapsed_ms(stop, start);
    putchar('\n');
    print_result(static_cast<uint64_t>(ms), label, file_size, 1, BLOCK_SIZE);
    putchar('\n');
    return ms;
}
