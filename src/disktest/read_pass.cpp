#include <cerrno>
#include <unistd.h>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/progress.h"

int64_t read_pass(uint64_t file_size)
{
    const uint64_t blocks = file_size / BLOCK_SIZE;
    print_pass_header("Reading", blocks, "sequential");
    progress_begin(PROGRESS_MARKS);

    const TimeReading start = time_reading();
    const int fd = scratch_open_or_die(false, "Read error.  Aborting...\n");
    for (uint64_t i = 0; i < blocks; ++i) {
        if (interrupt_signal() != 0)
            return abandon_pass(fd);
        const ssize_t got = read(fd, read_buffer, BLOCK_SIZE);
        // End of file or a short read means the file is not what the write
        // pass left: a result from it would be a half-result.
        if (got != static_cast<ssize_t>(BLOCK_SIZE))
            scratch_fatal("Read error.  Aborting...\n", got < 0 ? errno : 0);
        progress_tick(i, blocks, PROGRESS_MARKS);
    }
    close(fd);
    const TimeReading stop = time_reading();
    return finish_pass(start, stop, "read", file_size);
}
