#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/progress.h"

int64_t write_pass(uint64_t file_size)
{
    // Fresh random bytes for every write pass, so no file system can
    // compress or deduplicate what the last pass wrote.
    for (unsigned char& byte : write_buffer)
        byte = static_cast<unsigned char>(random());

    const uint64_t blocks = file_size / BLOCK_SIZE;
    print_pass_header("Writing", blocks, "sequential");
    progress_begin(PROGRESS_MARKS);

    const TimeReading start = time_reading();
    // No O_TRUNC: the rewrite pass overwrites the blocks of the first write
    // where they lie, which is what it measures.
    const int fd = open_scratch_or_die(O_WRONLY | O_CREAT, "Error creating file.\n");
    scratch_file_live = 1;
    for (uint64_t i = 0; i < blocks; ++i) {
        const ssize_t written = write(fd, write_buffer, BLOCK_SIZE);
        if (written != static_cast<ssize_t>(BLOCK_SIZE)) {
            // A short write carries no reason; asking for the rest of the
            // block brings out the one the system has (a full disk, a file
            // size limit), if there is one.
            int error = errno;
            if (written >= 0)
                error = write(fd, write_buffer + written, BLOCK_SIZE - written) < 0 ? errno : 0;
            scratch_fatal("Write error.  Aborting...\n", error);
        }
        progress_tick(i, blocks, PROGRESS_MARKS);
    }
    close(fd);
    const TimeReading stop = time_reading();
    // Dirty pages are flushed outside the measurement, so that the next
    // pass does not pay for this one's writeback.
    sync();
    return finish_pass(start, stop, "write", file_size);
}
