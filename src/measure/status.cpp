#include "measure/status.h"

#include <atomic>
#include <unistd.h>

#include "measure/plain_text.h"
#include "measure/progress.h"
#include "measure/timing.h"

namespace {

// Read from a signal handler on the same thread: lock-free atomics are the
// only shared state such a handler may touch.
static_assert(std::atomic<int64_t>::is_always_lock_free, "the status needs lock-free 64-bit atomics");
static_assert(std::atomic<const char*>::is_always_lock_free, "the status needs lock-free pointers");

std::atomic<int64_t> trial_now{0};
std::atomic<int64_t> trial_count{0};
std::atomic<const char*> measuring{nullptr};
std::atomic<int32_t> place_now{0};
std::atomic<int32_t> place_count{0};
std::atomic<const char*> unit_name{""};
std::atomic<const char*> width_unit{""};
std::atomic<int32_t> width_count{1};
std::atomic<int64_t> started_us{0};
std::atomic<uint64_t> units_total{0};
std::atomic<uint64_t> units_done{0};
std::atomic<int64_t> estimate_current_us{-1};
std::atomic<int64_t> estimate_after_us{-1};
std::atomic<bool> estimate_lower_bound{false};

} // namespace

int64_t status_clock_us()
{
    const TimeReading now = time_reading();
    return now.seconds * 1000000 + now.microseconds;
}

void status_trial(int64_t trial, int64_t trials)
{
    trial_count.store(trials, std::memory_order_relaxed);
    trial_now.store(trial, std::memory_order_relaxed);
}

void status_begin(const char* id, int32_t place, int32_t count, const char* unit, uint64_t total)
{
    status_begin_at(id, place, count, unit, total, status_clock_us());
}

void status_begin_at(const char* id, int32_t place, int32_t count, const char* unit, uint64_t total,
                     int64_t start_us)
{
    place_now.store(place, std::memory_order_relaxed);
    place_count.store(count, std::memory_order_relaxed);
    unit_name.store(unit, std::memory_order_relaxed);
    units_total.store(total, std::memory_order_relaxed);
    units_done.store(0, std::memory_order_relaxed);
    started_us.store(start_us, std::memory_order_relaxed);
    measuring.store(id, std::memory_order_relaxed);
}

void status_width(int32_t workers, const char* unit)
{
    width_unit.store(unit, std::memory_order_relaxed);
    width_count.store(workers, std::memory_order_relaxed);
}

void status_show_bar(bool disk)
{
    terminal_bar_begin(unit_name.load(std::memory_order_relaxed), units_total.load(std::memory_order_relaxed), disk);
    status_units_done(0);
}

void status_units_done(uint64_t done)
{
    units_done.store(done, std::memory_order_relaxed);
    if (!terminal_bar_due(done))
        return;
    bool lower_bound = false;
    const int64_t left_us = status_time_left_us(status_clock_us(), &lower_bound);
    terminal_bar_draw(done, left_us < 0 ? -1 : (left_us + 500000) / 1000000, lower_bound);
}

void status_estimate(int64_t current_us, int64_t after_us, bool lower_bound)
{
    estimate_current_us.store(current_us, std::memory_order_relaxed);
    estimate_after_us.store(after_us, std::memory_order_relaxed);
    estimate_lower_bound.store(lower_bound, std::memory_order_relaxed);
}

int64_t status_time_left_us(int64_t now_us, bool* lower_bound)
{
    const int64_t current = estimate_current_us.load(std::memory_order_relaxed);
    const int64_t after = estimate_after_us.load(std::memory_order_relaxed);
    *lower_bound = estimate_lower_bound.load(std::memory_order_relaxed);
    if (after < 0)
        return -1;
    if (measuring.load(std::memory_order_relaxed) == nullptr)
        return after;
    int64_t left = after;
    if (current < 0) {
        // Nothing says how long this one takes: the rest is a lower bound.
        *lower_bound = true;
    } else {
        // A measurement that runs past its estimate has nothing left of it.
        const int64_t taken = now_us - started_us.load(std::memory_order_relaxed);
        left += current > taken ? current - taken : 0;
    }
    return left;
}

void status_end()
{
    measuring.store(nullptr, std::memory_order_relaxed);
}

size_t status_line(char* buffer, size_t size, int64_t now_us)
{
    if (size == 0)
        return 0;
    TextBuffer line{buffer, buffer + size - 1};  // room for the newline
    text_put(&line, "ovrel-bench: ");
    const int64_t trial = trial_now.load(std::memory_order_relaxed);
    const char* id = measuring.load(std::memory_order_relaxed);
    if (trial <= 0) {
        text_put(&line, "not measuring yet");
    } else {
        text_put(&line, "trial ");
        text_put_number(&line, static_cast<uint64_t>(trial));
        text_put(&line, " of ");
        text_put_number(&line, static_cast<uint64_t>(trial_count.load(std::memory_order_relaxed)));
        if (id == nullptr) {
            text_put(&line, ", between measurements");
        } else {
            text_put(&line, ", ");
            text_put(&line, id);
            text_put(&line, ", measurement ");
            text_put_number(&line, static_cast<uint64_t>(place_now.load(std::memory_order_relaxed)));
            text_put(&line, " of ");
            text_put_number(&line, static_cast<uint64_t>(place_count.load(std::memory_order_relaxed)));
            text_put(&line, ": ");
            const int64_t taken = now_us - started_us.load(std::memory_order_relaxed);
            const uint64_t ms = taken > 0 ? static_cast<uint64_t>(taken) / 1000 : 0;
            text_put_number(&line, ms / 1000);
            text_put(&line, ".");
            text_put_number(&line, ms % 1000, 3);
            text_put(&line, " s");
            const uint64_t total = units_total.load(std::memory_order_relaxed);
            if (total != 0) {
                text_put(&line, ", ");
                text_put_number(&line, units_done.load(std::memory_order_relaxed));
                text_put(&line, " of ");
                text_put_number(&line, total);
                text_put(&line, " ");
                text_put(&line, unit_name.load(std::memory_order_relaxed));
            }
            const int32_t workers = width_count.load(std::memory_order_relaxed);
            if (workers > 1) {
                text_put(&line, ", ");
                text_put_number(&line, static_cast<uint64_t>(workers));
                text_put(&line, " ");
                text_put(&line, width_unit.load(std::memory_order_relaxed));
            }
        }
        bool lower_bound = false;
        const int64_t left_us = status_time_left_us(now_us, &lower_bound);
        text_put_time_left(&line, "; ", left_us < 0 ? -1 : (left_us + 500000) / 1000000, lower_bound);
    }
    *line.at++ = '\n';
    return static_cast<size_t>(line.at - buffer);
}

void status_print()
{
    // Nothing is written unless standard error takes it now: a reader that
    // has stopped must not stop the run.
    if (!error_takes_a_line_now())
        return;
    char buffer[448];
    TextBuffer text{buffer, buffer + sizeof buffer};
    // The answer takes a line of its own, and the bar it interrupted is
    // drawn again below it.
    text.at += progress_step_aside(text.at, static_cast<size_t>(text.end - text.at));
    text.at += status_line(text.at, static_cast<size_t>(text.end - text.at), status_clock_us());
    text.at += progress_redraw(text.at, static_cast<size_t>(text.end - text.at));
    const size_t length = static_cast<size_t>(text.at - buffer);
    ssize_t written = 0;
    for (size_t at = 0; at < length; at += static_cast<size_t>(written)) {
        written = write(STDERR_FILENO, buffer + at, length - at);
        if (written <= 0)
            return;
    }
}
