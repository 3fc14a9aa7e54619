#include "driver/safety.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/result.h"

void enter_directory(const char* directory)
{
    if (chdir(directory) != 0 || access(".", W_OK | X_OK) != 0) {
        fprintf(stderr, "Cannot use directory %s: %s\n", directory, strerror(errno));
        exit(1);
    }
}

void check_direct_io(const char* shown)
{
    const int direct = direct_io_flag();
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
        fprintf(stderr, "Direct I/O is not supported by the file system of %s: %s\n", shown,
                strerror(error));
        exit(1);
    }
}

void check_free_space(const RunParameters& parameters)
{
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        return;
    const uint64_t needed = parameters.file_size / BLOCK_SIZE * BLOCK_SIZE;
    uint64_t available = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
    // A scratch file left by an aborted run is overwritten in place: the
    // space it holds is the run's to use again.
    struct stat leftover;
    if (lstat(SCRATCH_FILE, &leftover) == 0 && S_ISREG(leftover.st_mode))
        available += static_cast<uint64_t>(leftover.st_blocks) * 512;
    if (needed <= available)
        return;
    char needed_label[SIZE_LABEL_LEN];
    char available_label[SIZE_LABEL_LEN];
    fprintf(stderr, "Not enough free space: the scratch file needs %s, %s is available.\n",
            format_size(needed, needed_label), format_size(available, available_label));
    exit(1);
}

void check_report_written()
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return;
    fprintf(stderr, "Cannot write the report: %s\n", strerror(errno != 0 ? errno : EIO));
    exit(1);
}

namespace {

void remove_scratch_and_die(int signal_number)
{
    // Only async-signal-safe calls here.
    if (scratch_file_live)
        unlink(SCRATCH_FILE);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

} // namespace

void install_signal_handlers()
{
    // SIGPIPE too: a reader of the report that goes away (a pager quit, a
    // dropped pipe) ends the run just like Ctrl-C would.
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    for (int signal_number : signals) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action{};
        action.sa_handler = remove_scratch_and_die;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}
