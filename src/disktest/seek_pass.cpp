#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <utility>

#include "disktest/scratch.h"
#include "measure/interrupt.h"
#include "measure/progress.h"

void shuffle_offsets(uint64_t* array, uint64_t n)
{
    constexpr uint64_t RANDOM_MAX = 2147483647;
    for (uint64_t k = 0, remaining = n; remaining > 1; ++k, --remaining) {
        const uint64_t r = static_cast<uint64_t>(random());
        const uint64_t j = r / (RANDOM_MAX / remaining + 1);
        std::swap(array[k + j], array[k]);
    }
}

int64_t seek_pass(uint64_t file_size)
{
    const uint64_t blocks = file_size / BLOCK_SIZE;
    print_pass_header("Reading", blocks, "random");

    // Built and shuffled before the clock starts: 8 bytes a block, on the
    // heap so that no file size can overflow the stack.
    const uint64_t offsets_bytes = blocks * sizeof(uint64_t);
    uint64_t* offsets = static_cast<uint64_t*>(malloc(blocks == 0 ? 1 : offsets_bytes));
    if (offsets == nullptr) {
        fprintf(stderr, "Could not allocate %" PRIu64 " bytes.\n", offsets_bytes);
        exit(1);
    }
    for (uint64_t i = 0; i < blocks; ++i)
        offsets[i] = i * BLOCK_SIZE;
    shuffle_offsets(offsets, blocks);
    progress_begin(PROGRESS_MARKS);

    const TimeReading start = time_reading();
    const int fd = scratch_open_or_die(false, "Read error.  Aborting...\n");
    for (uint64_t i = 0; i < blocks; ++i) {
        if (interrupt_signal() != 0) {
            free(offsets);
            return abandon_pass(fd);
        }
        lseek(fd, static_cast<off_t>(offsets[i]), SEEK_SET);
        // A block past a shortened file's end reads short or empty, and the
        // pass goes on; only an error stops it.
        if (read(fd, seek_buffer, BLOCK_SIZE) < 0)
            scratch_fatal("Read error.  Aborting...\n", errno);
        progress_tick(i, blocks, PROGRESS_MARKS);
    }
    close(fd);
    const TimeReading stop = time_reading();
    free(offsets);
    return finish_pass(start, stop, "seek", file_size);
}
