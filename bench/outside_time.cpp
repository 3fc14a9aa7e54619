// Time a default trial spends outside its measurements: the random fill of
// the write buffer (twice a trial), building and shuffling the offsets of the
// shuffled read, and the machine description (once a run). Each is run
// through the project's own code with standard output sent to /dev/null.
// Also the one piece of extra work inside the write passes: the stamp that
// makes every block distinct, once a block.
//
//   outside_time          (in a scratch directory; prints milliseconds)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "disktest/scratch.h"
#include "run/run_parameters.h"
#include "measure/timing.h"
#include "sysreport/report.h"

namespace {

double since_ms(const TimeReading& start)
{
    return static_cast<double>(elapsed_us(time_reading(), start)) / 1000.0;
}

} // namespace

int main()
{
    const RunParameters parameters = init_run_parameters();
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    srandom(static_cast<unsigned>(time(nullptr)));

    // write_pass(0) is the fill, the header and an open and close of an
    // empty file; the open and close are what it reports as its time.
    TimeReading start = time_reading();
    const int64_t open_close_ms = write_pass(0);
    const double fill_ms = since_ms(start) - static_cast<double>(open_close_ms);
    unlink(SCRATCH_FILE);

    const uint64_t blocks = parameters.file_size / BLOCK_SIZE;
    start = time_reading();
    std::vector<uint64_t> offsets(blocks);
    for (uint64_t i = 0; i < blocks; ++i)
        offsets[i] = i * BLOCK_SIZE;
    shuffle_offsets(offsets.data(), blocks);
    const double shuffle_ms = since_ms(start);

    constexpr uint64_t STAMPS = 10000;
    start = time_reading();
    for (uint64_t i = 0; i < STAMPS; ++i)
        stamp_block(write_buffer, i);
    const double stamp_us = since_ms(start) * 1000.0 / STAMPS;

    start = time_reading();
    print_system_report(parameters);
    const double report_ms = since_ms(start);

    fprintf(stderr, "write buffer fill: %.1f ms (twice a trial)\n", fill_ms);
    fprintf(stderr, "offsets of %llu blocks built and shuffled: %.3f ms\n",
            static_cast<unsigned long long>(blocks), shuffle_ms);
    fprintf(stderr, "machine description: %.1f ms (once a run)\n", report_ms);
    fprintf(stderr, "per trial, with the description: %.1f ms\n", 2 * fill_ms + shuffle_ms + report_ms);
    fprintf(stderr, "stamp of one block (inside the write passes): %.2f us\n", stamp_us);
    return 0;
}
