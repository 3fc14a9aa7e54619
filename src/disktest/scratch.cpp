#include "disktest/scratch.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "measure/progress.h"
#include "measure/result.h"
#include "platform/platform.h"

alignas(BUFFER_ALIGN) unsigned char write_buffer[BLOCK_SIZE];
alignas(BUFFER_ALIGN) unsigned char read_buffer[BLOCK_SIZE];
alignas(BUFFER_ALIGN) unsigned char seek_buffer[BLOCK_SIZE];

namespace {

int open_flag = 0;
bool cold = false;
uint64_t stamp_seed = 0;

// Set just before the creating open, so that a signal arriving while it
// returns still removes the file; cleared when the file is removed.
volatile sig_atomic_t live = 0;

// The file this run created or took over: every later open must find it.
bool known = false;
dev_t known_device = 0;
ino_t known_inode = 0;

// O_NONBLOCK keeps a FIFO swapped in under the name from stalling the open;
// it is taken off again once the file is known to be a regular one.
constexpr int OPEN_FLAGS = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

int refusal(const struct stat& status)
{
    if (S_ISLNK(status.st_mode))
        return SCRATCH_SYMLINK;
    if (!S_ISREG(status.st_mode))
        return SCRATCH_NOT_REGULAR;
    // A second name would make the passes write into a file that is not
    // only ours (a hard link to someone's data).
    if (status.st_nlink != 1)
        return SCRATCH_LINKED;
    if (status.st_uid != geteuid())
        return SCRATCH_FOREIGN;
    return 0;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The report and the messages must not be written into the file the passes overwrite.
bool is_an_output(const struct stat& status)
{
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat output;
        if (fstat(fd, &output) == 0 && same_file(output, status))
            return true;
    }
    return false;
}

// What lstat found under the name, before anything is opened.
int found_refusal(const struct stat& found)
{
    const int refused = refusal(found);
    return refused == 0 && is_an_output(found) ? SCRATCH_IS_OUTPUT : refused;
}

// Checks an open descriptor and leaves `flags` as its only status flags;
// closes it and returns -1 with `*error` on refusal. `remember` makes the
// file the one every later open must find.
int accept_descriptor(int fd, const struct stat* expected, int flags, bool remember, int* error)
{
    struct stat status;
    int refused = fstat(fd, &status) != 0 ? errno : refusal(status);
    if (refused == 0 && expected != nullptr && !same_file(status, *expected))
        refused = SCRATCH_SWAPPED;
    if (refused == 0 && fcntl(fd, F_SETFL, flags) != 0)
        refused = errno;
    if (refused != 0) {
        close(fd);
        *error = refused;
        return -1;
    }
    if (remember && !known) {
        known = true;
        known_device = status.st_dev;
        known_inode = status.st_ino;
    }
    return fd;
}

// The first open of a trial's write pass: a new file, or a leftover of the
// user's own that passes every check.
int create_or_take_over(int* error)
{
    live = 1;
    int fd = open(SCRATCH_FILE, O_WRONLY | O_CREAT | O_EXCL | OPEN_FLAGS | open_flag, 0600);
    if (fd >= 0)
        return accept_descriptor(fd, nullptr, open_flag, true, error);
    if (errno != EEXIST) {
        *error = errno;
        live = 0;
        return -1;
    }
    // Something is there: look at it before opening it, so that a device
    // node or FIFO is never opened for writing.
    live = 0;
    struct stat found;
    if (lstat(SCRATCH_FILE, &found) != 0) {
        *error = errno;
        return -1;
    }
    *error = found_refusal(found);
    if (*error != 0)
        return -1;
    live = 1;
    fd = open(SCRATCH_FILE, O_WRONLY | OPEN_FLAGS | open_flag);
    if (fd < 0) {
        *error = errno;
        live = 0;
        return -1;
    }
    fd = accept_descriptor(fd, &found, open_flag, true, error);
    if (fd < 0)
        live = 0;
    return fd;
}

} // namespace

const char* scratch_error_text(int error)
{
    switch (error) {
    case SCRATCH_NOT_REGULAR: return "Not a regular file";
    case SCRATCH_LINKED: return "Has more than one link";
    case SCRATCH_FOREIGN: return "Belongs to another user";
    case SCRATCH_SWAPPED: return "Is no longer the file this run created";
    case SCRATCH_IS_OUTPUT: return "Is where the report is being written";
    case SCRATCH_SYMLINK: return "Is a symbolic link";
    default: return strerror(error);
    }
}

void scratch_set_seed(uint64_t seed)
{
    stamp_seed = seed;
}

void stamp_block(unsigned char* block, uint64_t index)
{
    // 1024 stores of 16 bytes a block: a microsecond or two against the
    // millisecond or more that writing 4 MiB takes.
    for (size_t at = 0; at < BLOCK_SIZE; at += STAMP_INTERVAL) {
        memcpy(block + at, &index, sizeof index);
        memcpy(block + at + sizeof index, &stamp_seed, sizeof stamp_seed);
    }
}

void scratch_touch_buffers()
{
    memset(read_buffer, 0, BLOCK_SIZE);
    memset(seek_buffer, 0, BLOCK_SIZE);
}

void scratch_set_open_flag(int flag)
{
    open_flag = flag;
}

int scratch_check_leftover(uint64_t* leftover_bytes)
{
    *leftover_bytes = 0;
    struct stat found;
    if (lstat(SCRATCH_FILE, &found) != 0)
        return errno == ENOENT ? 0 : errno;
    const int refused = found_refusal(found);
    if (refused == 0)
        *leftover_bytes = static_cast<uint64_t>(found.st_blocks) * 512;
    return refused;
}

namespace {

// Opens what is already there, with `flags` beside the access mode; once
// this run has created or taken over the file, it must be that file.
int open_existing(int access, int flags, int* error)
{
    const int fd = open(SCRATCH_FILE, access | OPEN_FLAGS | flags);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat expected{};
    expected.st_dev = known_device;
    expected.st_ino = known_inode;
    return accept_descriptor(fd, known ? &expected : nullptr, flags, false, error);
}

} // namespace

int scratch_open(bool for_write, int* error)
{
    if (for_write && !known)
        return create_or_take_over(error);
    return open_existing(for_write ? O_WRONLY : O_RDONLY, open_flag, error);
}

int scratch_open_or_die(bool for_write, const char* message)
{
    int error = 0;
    const int fd = scratch_open(for_write, &error);
    if (fd < 0)
        scratch_fatal(message, error);
    return fd;
}

int scratch_flush()
{
    // The direct I/O flag is left off: this open moves no data.
    int error = 0;
    const int fd = open_existing(O_WRONLY, 0, &error);
    if (fd < 0)
        return error;
    error = platform_flush_file(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

void scratch_set_cold(bool on)
{
    cold = on;
}

bool scratch_cold()
{
    return cold;
}

int scratch_drop_cache(uint64_t size, uint64_t* resident, int* count_error)
{
    int error = 0;
    const int fd = open_existing(O_RDONLY, 0, &error);
    if (fd < 0) {
        *count_error = error;
        return error;
    }
    error = platform_drop_cached_pages(fd);
    *count_error = error != 0 ? error : platform_resident_bytes(fd, size, resident);
    close(fd);
    return error;
}

int scratch_remove()
{
    // A file already gone is not left behind.
    const int error = (live || known) && unlink(SCRATCH_FILE) != 0 && errno != ENOENT ? errno : 0;
    live = 0;
    known = false;
    return error;
}

void scratch_remove_from_signal()
{
    if (live)
        unlink(SCRATCH_FILE);
}

void scratch_fatal(const char* message, int error)
{
    terminal_bar_end();
    putchar('\n');
    fflush(stdout);
    fputs(message, stderr);
    if (error != 0)
        fprintf(stderr, "%s: %s\n", SCRATCH_FILE, scratch_error_text(error));
    exit(1);
}

void print_pass_header(const char* verb, uint64_t blocks, const char* order)
{
    printf("%s %" PRIu64 " blocks of size %lu in %s order...\n", verb, blocks,
           static_cast<unsigned long>(BLOCK_SIZE), order);
    // What is really transferred: whole blocks only.
    printf("Total size = %" PRIu64 " mebibytes.\n", blocks * 4);
}

int64_t abandon_pass(int fd)
{
    close(fd);
    putchar('\n');
    return PASS_INTERRUPTED;
}

