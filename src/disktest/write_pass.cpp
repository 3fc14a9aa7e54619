#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/progress.h"

int64_t write_pass(uint64_t file_size)
{
    // Fresh random bytes for every write pass, so that no file system can
    // compress the block; the stamp of each block's index (below) keeps
    // storage that deduplicates (ZFS dedup=on, VDO, many SAN arrays) from
    // keeping one copy of a block written `blocks` times.
    for (unsigned char& byte : write_buffer)
        byte = static_cast<unsigned char>(random());

    const uint64_t blocks = file_size / BLOCK_SIZE;
    print_pass_header("Writing", blocks, "sequential");
    progress_begin(PROGRESS_MARKS);

    const TimeReading start = time_reading();
    // No O_TRUNC: the rewrite pass overwrites the blocks of the first write
    // where they lie, which is what it measures.
    const int fd = scratch_open_or_die(true, "Error creating file.\n");
    for (uint64_t i = 0; i < blocks; ++i) {
        if (interrupt_signal() != 0)
            return abandon_pass(fd);
        // Inside the interval, as the index changes with every block; its
        // cost is measured in the benchmark document.
        stamp_block(write_buffer, i);
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
    // A network or FUSE file system may report a deferred write error only here.
    const int closed = close(fd);
    const int close_error = errno;
    const TimeReading stop = time_reading();
    if (closed != 0)
        scratch_fatal("Write error.  Aborting...\n", close_error);
    // The file's own data reaches the disk outside the measurement, so that
    // the next pass does not pay for this one's write-back; a failure to get
    // there is a write error like any other. The global sync() would neither
    // wait for the data everywhere nor stay clear of other file systems' trouble.
    const int flush_error = scratch_flush();
    if (flush_error != 0)
        scratch_fatal("Write error.  Aborting...\n", flush_error);
    return finish_pass(start, stop, "write", file_size);
}
