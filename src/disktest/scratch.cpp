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
uint64_t block_bytes = BLOCK_SIZE;
int32_t job_count = 1;

// One job's scratch file and buffers.
struct Slot {
    char name[40];
    // Set just before the creating open, so that a signal arriving while it
    // returns still removes the file; cleared when the file is removed.
    volatile sig_atomic_t live;
    // The file this run created or took over: every later open must find it.
    bool known;
    dev_t device;
    ino_t inode;
    unsigned char* write_buffer;
    unsigned char* read_buffer;
    unsigned char* seek_buffer;
};

Slot slots[JOBS_MAX] = {{"ovrel-bench.tempfile", 0, false, 0, 0, write_buffer, read_buffer, seek_buffer}};

Slot& slot(int32_t job)
{
    return slots[job >= 0 && job < JOBS_MAX ? job : 0];
}

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
int accept_descriptor(Slot& file, int fd, const struct stat* expected, int flags, bool remember, int* error)
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
    if (remember && !file.known) {
        file.known = true;
        file.device = status.st_dev;
        file.inode = status.st_ino;
    }
    return fd;
}

// The first open of a trial's write pass: a new file, or a leftover of the
// user's own that passes every check.
int create_or_take_over(Slot& file, int* error)
{
    file.live = 1;
    int fd = open(file.name, O_WRONLY | O_CREAT | O_EXCL | OPEN_FLAGS | open_flag, 0600);
    if (fd >= 0)
        return accept_descriptor(file, fd, nullptr, open_flag, true, error);
    if (errno != EEXIST) {
        *error = errno;
        file.live = 0;
        return -1;
    }
    // Something is there: look at it before opening it, so that a device
    // node or FIFO is never opened for writing.
    file.live = 0;
    struct stat found;
    if (lstat(file.name, &found) != 0) {
        *error = errno;
        return -1;
    }
    *error = found_refusal(found);
    if (*error != 0)
        return -1;
    file.live = 1;
    fd = open(file.name, O_WRONLY | OPEN_FLAGS | open_flag);
    if (fd < 0) {
        *error = errno;
        file.live = 0;
        return -1;
    }
    fd = accept_descriptor(file, fd, &found, open_flag, true, error);
    if (fd < 0)
        file.live = 0;
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
    // 1024 stores of 16 bytes a 4 MiB block: a microsecond or two against
    // the millisecond or more that writing it takes.
    for (size_t at = 0; at < block_bytes; at += STAMP_INTERVAL) {
        memcpy(block + at, &index, sizeof index);
        memcpy(block + at + sizeof index, &stamp_seed, sizeof stamp_seed);
    }
}

bool scratch_set_shape(int32_t jobs, uint64_t block)
{
    if (jobs < 1 || jobs > JOBS_MAX || block < BUFFER_ALIGN || block > BLOCK_SIZE_MAX)
        return false;
    // Buffers of an earlier shape go back first.
    for (Slot& file : slots) {
        if (file.write_buffer != nullptr && file.write_buffer != write_buffer) {
            free(file.write_buffer);
            free(file.read_buffer);
        }
        file.write_buffer = file.read_buffer = file.seek_buffer = nullptr;
    }
    job_count = jobs;
    block_bytes = block;
    for (int32_t job = 0; job < jobs; ++job) {
        Slot& file = slots[job];
        if (jobs == 1)
            snprintf(file.name, sizeof file.name, "%s", SCRATCH_FILE);
        else
            snprintf(file.name, sizeof file.name, "%s.%" PRId32, SCRATCH_FILE, job + 1);
        // The static buffers serve the first job up to the default block;
        // the others' are aligned to their block, as direct I/O may ask.
        if (job == 0 && block <= BLOCK_SIZE) {
            file.write_buffer = write_buffer;
            file.read_buffer = read_buffer;
            file.seek_buffer = seek_buffer;
            continue;
        }
        void* writing = nullptr;
        void* reading = nullptr;
        if (posix_memalign(&writing, block, block) != 0 || posix_memalign(&reading, block, block) != 0) {
            free(writing);
            return false;
        }
        file.write_buffer = static_cast<unsigned char*>(writing);
        file.read_buffer = static_cast<unsigned char*>(reading);
        // The read and the shuffled read never run at once.
        file.seek_buffer = file.read_buffer;
    }
    return true;
}

int32_t scratch_jobs()
{
    return job_count;
}

uint64_t scratch_block()
{
    return block_bytes;
}

const char* scratch_name(int32_t job)
{
    return slot(job).name;
}

unsigned char* scratch_buffer(int32_t job, ScratchBuffer which)
{
    Slot& file = slot(job);
    return which == ScratchBuffer::Write ? file.write_buffer
           : which == ScratchBuffer::Read ? file.read_buffer
                                          : file.seek_buffer;
}

void scratch_touch_buffers()
{
    for (int32_t job = 0; job < job_count; ++job) {
        memset(slots[job].read_buffer, 0, block_bytes);
        memset(slots[job].seek_buffer, 0, block_bytes);
        memset(slots[job].write_buffer, 0, block_bytes);
    }
}

void scratch_set_open_flag(int flag)
{
    open_flag = flag;
}

int scratch_check_leftover(uint64_t* leftover_bytes, int32_t job)
{
    *leftover_bytes = 0;
    struct stat found;
    if (lstat(slot(job).name, &found) != 0)
        return errno == ENOENT ? 0 : errno;
    const int refused = found_refusal(found);
    if (refused == 0)
        *leftover_bytes = static_cast<uint64_t>(found.st_blocks) * 512;
    return refused;
}

namespace {

// Opens what is already there, with `flags` beside the access mode; once
// this run has created or taken over the file, it must be that file.
int open_existing(Slot& file, int access, int flags, int* error)
{
    const int fd = open(file.name, access | OPEN_FLAGS | flags);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat expected{};
    expected.st_dev = file.device;
    expected.st_ino = file.inode;
    return accept_descriptor(file, fd, file.known ? &expected : nullptr, flags, false, error);
}

// Whether the name still holds the file this run made (lstat is
// async-signal-safe): what another swapped in stays where it is.
bool still_ours(const Slot& file)
{
    struct stat found;
    if (lstat(file.name, &found) != 0)
        return false;
    return !file.known || (found.st_dev == file.device && found.st_ino == file.inode);
}

} // namespace

int scratch_open(bool for_write, int* error, int32_t job)
{
    Slot& file = slot(job);
    if (for_write && !file.known)
        return create_or_take_over(file, error);
    return open_existing(file, for_write ? O_WRONLY : O_RDONLY, open_flag, error);
}

int scratch_open_or_die(bool for_write, const char* message, int32_t job)
{
    int error = 0;
    const int fd = scratch_open(for_write, &error, job);
    if (fd < 0)
        scratch_fatal(message, error, job);
    return fd;
}

int scratch_flush(int32_t job)
{
    // The direct I/O flag is left off: this open moves no data.
    int error = 0;
    const int fd = open_existing(slot(job), O_WRONLY, 0, &error);
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

int scratch_drop_cache(uint64_t size, uint64_t* resident, int* count_error, int32_t job)
{
    int error = 0;
    const int fd = open_existing(slot(job), O_RDONLY, 0, &error);
    if (fd < 0) {
        *count_error = error;
        return error;
    }
    error = platform_drop_cached_pages(fd);
    *count_error = error != 0 ? error : platform_resident_bytes(fd, size, resident);
    close(fd);
    return error;
}

int scratch_remove(int32_t* failed_job)
{
    // A file already gone is not left behind; one that is no longer ours
    // is not ours to remove.
    int first_error = 0;
    for (int32_t job = 0; job < job_count; ++job) {
        Slot& file = slots[job];
        const int error =
            (file.live || file.known) && still_ours(file) && unlink(file.name) != 0 && errno != ENOENT ? errno : 0;
        if (error != 0 && first_error == 0) {
            first_error = error;
            if (failed_job != nullptr)
                *failed_job = job;
        }
        file.live = 0;
        file.known = false;
    }
    return first_error;
}

void scratch_remove_from_signal()
{
    for (int32_t job = 0; job < job_count; ++job)
        if (slots[job].live && still_ours(slots[job]))
            unlink(slots[job].name);
}

void scratch_fatal(const char* message, int error, int32_t job)
{
    terminal_bar_end();
    putchar('\n');
    fflush(stdout);
    // One file stays where it is, for the operator to look at, as it
    // always has; the files of several jobs go, the failed one's too, so
    // that no half-written set of them is left for a later run.
    if (job_count > 1)
        scratch_remove();
    fputs(message, stderr);
    if (error != 0)
        fprintf(stderr, "%s: %s\n", slot(job).name, scratch_error_text(error));
    else if (job_count > 1)
        fprintf(stderr, "%s: %s\n", slot(job).name, "Cut short, without a reason from the system");
    exit(1);
}

void print_pass_header(const char* verb, uint64_t blocks, const char* order)
{
    printf("%s %" PRIu64 " blocks of size %lu in %s order...\n", verb, blocks, static_cast<unsigned long>(block_bytes),
           order);
    // What is really transferred: whole blocks only.
    const uint64_t bytes = blocks * block_bytes;
    if (bytes % (uint64_t{1} << 20) == 0)
        printf("Total size = %" PRIu64 " mebibytes.\n", bytes >> 20);
    else
        printf("Total size = %.2f mebibytes.\n", static_cast<double>(bytes) * 0x1p-20);
}

int64_t abandon_pass(int fd)
{
    if (fd >= 0)
        close(fd);
    putchar('\n');
    return PASS_INTERRUPTED;
}
