#include "driver/preflight.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/result.h"
#include "measure/visible.h"

namespace {

// File systems that accept O_DIRECT and may still serve reads from memory:
// ZFS before OpenZFS 2.3, and tmpfs, which is memory.
const char* const CACHING_DESPITE_DIRECT_IO[] = {"zfs", "tmpfs"};

// Held open, and so locked, until the process ends.
int lock_fd = -1;

} // namespace

void ensure_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Without standard output every figure of the run would be lost.
        const bool refuse = fd == STDOUT_FILENO;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd || refuse) {
            // Standard error may be closed too; nothing else can be said.
            if (refuse && opened == fd)
                fputs("Standard output is closed: the report would be lost.\n", stderr);
            _exit(1);
        }
    }
}

void enter_directory(const char* directory)
{
    if (chdir(directory) != 0) {
        fprintf(stderr, "Cannot use directory %s: %s\n", visible(directory).c_str(), strerror(errno));
        exit(1);
    }
}

void check_directory_writable(const char* shown)
{
    // Read-only file systems answer EROFS even to root, whom permissions
    // do not stop.
    if (access(".", W_OK | X_OK) != 0) {
        fprintf(stderr, "Cannot use directory %s: %s\n", shown, strerror(errno));
        exit(1);
    }
}

void lock_directory(const char* shown)
{
    lock_fd = open(".", O_RDONLY | O_CLOEXEC);
    if (lock_fd >= 0 && flock(lock_fd, LOCK_EX | LOCK_NB) == 0)
        return;
    const int error = errno;
    if (error == EWOULDBLOCK) {
        fprintf(stderr, "Another ovrel-bench run is using %s.\n", shown);
        exit(1);
    }
    // Some network file systems lock nothing: the run goes on, and the
    // operator knows that nothing keeps a second run out. Any other reason
    // (a directory this user may write but not read, say) would let two
    // runs share one scratch file, and refuses the run.
    if (lock_fd >= 0 && (error == EOPNOTSUPP || error == ENOLCK || error == ENOSYS)) {
        fprintf(stderr, "Cannot lock %s (%s); make sure no other run uses it.\n", shown, strerror(error));
        return;
    }
    fprintf(stderr, "Cannot lock %s: %s\n", shown, strerror(error));
    exit(1);
}

uint64_t check_scratch_name(const char* shown, int32_t job)
{
    uint64_t leftover = 0;
    const int refused = scratch_check_leftover(&leftover, job);
    if (refused == 0)
        return leftover;
    fprintf(stderr, "Cannot use the scratch file in %s.\n%s: %s\n", shown, scratch_name(job),
            scratch_error_text(refused));
    exit(1);
}

void check_direct_io(const char* shown)
{
    const int direct = platform_direct_io_flag();
    if (direct == 0) {
        fputs("Direct I/O is not available on this system.\n", stderr);
        exit(1);
    }
    // A file of its own, so that a refusal leaves nothing behind and a
    // leftover scratch file is not touched.
    char probe[] = "ovrel-bench.probe.XXXXXX";
    int fd = mkstemp(probe);
    if (fd < 0) {
        fprintf(stderr, "Cannot create a file in %s: %s\n", shown, strerror(errno));
        exit(1);
    }
    close(fd);
    int error = 0;
    fd = open(probe, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | direct);
    if (fd < 0)
        error = errno;
    else if (write(fd, write_buffer, BUFFER_ALIGN) != static_cast<ssize_t>(BUFFER_ALIGN))
        error = errno != 0 ? errno : EIO;
    if (fd >= 0)
        close(fd);
    unlink(probe);
    if (error != 0) {
        fprintf(stderr, "Direct I/O is not supported by the file system of %s: %s\n", shown, strerror(error));
        exit(1);
    }
    FileSystemInfo fs;
    if (!platform_file_system(".", &fs))
        return;
    for (const char* type : CACHING_DESPITE_DIRECT_IO)
        if (fs.type == type)
            fprintf(stderr, "Warning: %s may cache the file despite direct I/O; the read passes may measure memory.\n",
                    type);
}

void check_cold()
{
    FileSystemInfo fs;
    if (platform_file_system(".", &fs) && fs.type == "zfs")
        fputs("Warning: ZFS keeps the file in its ARC whatever the advice; the cold read passes may measure memory.\n",
              stderr);
}

uint64_t usable_bytes(const FreeSpace& space)
{
    if (space.available_blocks <= 0)
        return 0;
    const uint64_t blocks = static_cast<uint64_t>(space.available_blocks);
    if (space.block_size != 0 && blocks > UINT64_MAX / space.block_size)
        return UINT64_MAX;
    return blocks * space.block_size;
}

bool scratch_fits(uint64_t needed, uint64_t usable, uint64_t leftover)
{
    // Compared without adding, so that no sum can wrap.
    return needed <= usable || needed - usable <= leftover;
}

void check_free_space(const RunParameters& parameters, uint64_t leftover)
{
    FreeSpace space{};
    if (!platform_free_space(".", &space)) {
        fprintf(stderr, "Cannot read the free space (%s); the run goes on unchecked.\n", strerror(errno));
        return;
    }
    const uint64_t needed = run_file_bytes(parameters);
    const uint64_t usable = usable_bytes(space);
    // A scratch file left by an aborted run is overwritten in place: the
    // space it holds is the run's to use again.
    if (scratch_fits(needed, usable, leftover))
        return;
    char needed_label[SIZE_LABEL_LEN];
    char available_label[SIZE_LABEL_LEN];
    const uint64_t available = usable > UINT64_MAX - leftover ? UINT64_MAX : usable + leftover;
    fprintf(stderr, "Not enough free space: the scratch file needs %s, %s is available.\n",
            format_size(needed, needed_label), format_size(available, available_label));
    exit(1);
}

bool plan_measures_page_cache(const RunParameters& parameters)
{
    // The page cache holds a file smaller than the memory, and much of one
    // up to twice its size; a cold run drops it before every read, and
    // direct I/O goes around it.
    return (parameters.phases & PHASE_DISK) != 0 && !parameters.cold && !parameters.direct_io &&
           page_cache_can_hold(run_file_bytes(parameters), parameters.phys_mem);
}

void print_plan(const RunParameters& parameters, const char* shown)
{
    const char* tests = parameters.phases == PHASE_ALL      ? "memory and disk tests"
                        : parameters.phases == PHASE_MEMORY ? "memory tests"
                                                            : "disk tests";
    fprintf(stderr, "Plan: %" PRId32 " trial%s of the %s%s", parameters.trials, parameters.trials == 1 ? "" : "s",
            tests, (parameters.phases & PHASE_DISK) != 0 && parameters.cold ? ", cold" : "");
    if ((parameters.phases & PHASE_MEMORY) != 0 && parameters.cpus != nullptr)
        fprintf(stderr, ", the memory sweeps on %" PRId32 " core%s", parameters.cores, parameters.cores == 1 ? "" : "s");
    if ((parameters.phases & PHASE_DISK) == 0) {
        fputs("; no scratch file.\n", stderr);
        return;
    }
    // Each trial writes the file twice (the write and the rewrite pass).
    const uint64_t file_bytes = run_file_bytes(parameters);
    uint64_t written = 0;
    const bool too_large = __builtin_mul_overflow(file_bytes, 2 * static_cast<uint64_t>(parameters.trials), &written);
    char file_label[SIZE_LABEL_LEN];
    char written_label[SIZE_LABEL_LEN];
    if (parameters.jobs == 1)
        fprintf(stderr, "; a %s scratch file in %s", format_size(file_bytes, file_label), shown);
    else
        fprintf(stderr, "; %" PRId32 " scratch files of %s at once in %s", parameters.jobs,
                format_size(job_file_size(parameters), file_label), shown);
    if (parameters.block_size != BLOCK_SIZE) {
        char block_label[SIZE_LABEL_LEN];
        fprintf(stderr, " in %s blocks", format_block(parameters.block_size, block_label));
    }
    fprintf(stderr, "; %s%s written in all", too_large ? "more than " : "",
            format_size(too_large ? UINT64_MAX : written, written_label));
    if (plan_measures_page_cache(parameters))
        fputs("; smaller than twice the memory, so the disk passes will measure the page cache", stderr);
    fputs(".\n", stderr);
}

bool report_written()
{
    errno = 0;
    return fflush(stdout) == 0 && !ferror(stdout);
}

void fail_report()
{
    fprintf(stderr, "Cannot write the report: %s\n", strerror(errno != 0 ? errno : EIO));
    exit(1);
}

void check_report_written()
{
    if (!report_written())
        fail_report();
}
