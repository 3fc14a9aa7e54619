#include "measure/status.h"

#include <atomic>
#include <unistd.h>

#include "measure/timing.h"

namespace {

// Read from a signal handler on the same thread: lock-free atomics are the
// only shared state such a handler may touch.
static_assert(std::atomic<int64_t>::is_always_lock_free, "the status needs lock-free 64-bit atomics");
static_assert(std::atomic<const char*>::is_always_lock_free, "the status needs lock-free pointers");

std::atomic<int64_t> trial_now{0};
std::atomic<int64_t> trial_count{0};
std::atomic<const char*> measuring{nullptr};
std::atomic<int64_t> started_us{0};
std::atomic<uint64_t> blocks_total{0};
std::atomic<uint64_t> blocks_done{0};

int64_t clock_us()
{
    const TimeReading now = time_reading();
    return now.seconds * 1000000 + now.microseconds;
}

// Appends to a buffer that never overflows: what does not fit is cut.
struct Line {
    char* at;
    char* end;
};

void put(Line* line, const char* text)
{
    while (*text != '\0' && line->at < line->end)
        *line->at++ = *text++;
}

void put_number(Line* line, uint64_t value, int min_digits = 1)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 || n < min_digits);
    while (n > 0 && line->at < line->end)
        *line->at++ = digits[--n];
}

} // namespace

void status_trial(int64_t trial, int64_t trials)
{
    trial_count.store(trials, std::memory_order_relaxed);
    trial_now.store(trial, std::memory_order_relaxed);
}

void status_begin(const char* id, uint64_t blocks)
{
    status_begin_at(id, blocks, clock_us());
}

void status_begin_at(const char* id, uint64_t blocks, int64_t start_us)
{
    blocks_total.store(blocks, std::memory_order_relaxed);
    blocks_done.store(0, std::memory_order_relaxed);
    started_us.store(start_us, std::memory_order_relaxed);
    measuring.store(id, std::memory_order_relaxed);
}

void status_blocks_done(uint64_t done)
{
    blocks_done.store(done, std::memory_order_relaxed);
}

void status_end()
{
    measuring.store(nullptr, std::memory_order_relaxed);
}

size_t status_line(char* buffer, size_t size, int64_t now_us)
{
    if (size == 0)
        return 0;
    Line line{buffer, buffer + size - 1};  // room for the newline
    put(&line, "ovrel-bench: ");
    const int64_t trial = trial_now.load(std::memory_order_relaxed);
    const char* id = measuring.load(std::memory_order_relaxed);
    if (trial <= 0) {
        put(&line, "not measuring yet");
    } else {
        put(&line, "trial ");
        put_number(&line, static_cast<uint64_t>(trial));
        put(&line, " of ");
        put_number(&line, static_cast<uint64_t>(trial_count.load(std::memory_order_relaxed)));
        if (id == nullptr) {
            put(&line, ", between measurements");
        } else {
            put(&line, ", ");
            put(&line, id);
            put(&line, ": ");
            const int64_t taken = now_us - started_us.load(std::memory_order_relaxed);
            const uint64_t ms = taken > 0 ? static_cast<uint64_t>(taken) / 1000 : 0;
            put_number(&line, ms / 1000);
            put(&line, ".");
            put_number(&line, ms % 1000, 3);
            put(&line, " s");
            const uint64_t total = blocks_total.load(std::memory_order_relaxed);
            if (total != 0) {
                put(&line, ", ");
                put_number(&line, blocks_done.load(std::memory_order_relaxed));
                put(&line, " of ");
                put_number(&line, total);
                put(&line, " blocks");
            }
        }
    }
    *line.at++ = '\n';
    return static_cast<size_t>(line.at - buffer);
}

void status_print()
{
    char buffer[160];
    const size_t length = status_line(buffer, sizeof buffer, clock_us());
    // Nothing to do if standard error takes no more: the run goes on.
    ssize_t written = 0;
    for (size_t at = 0; at < length; at += static_cast<size_t>(written)) {
        written = write(STDERR_FILENO, buffer + at, length - at);
        if (written <= 0)
            return;
    }
}
