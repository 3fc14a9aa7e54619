#include "measure/progress.h"

#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "measure/plain_text.h"

int32_t progress_count = 0;

namespace {

// Read by the status answer's signal handler on the same thread: lock-free
// atomics only.
std::atomic<bool> error_is_terminal{false};
std::atomic<bool> output_shares_terminal{false};
std::atomic<bool> disk_bar_drawn{false};
std::atomic<int32_t> disk_marks{0};
std::atomic<bool> terminal_bar_drawn{false};
std::atomic<const char*> bar_unit{""};
std::atomic<uint64_t> bar_total{0};
std::atomic<uint64_t> bar_done{0};
std::atomic<int64_t> bar_left_s{-1};
std::atomic<bool> bar_lower_bound{false};

constexpr int32_t TERMINAL_CELLS = 24;
// The longest line the terminal's bar can make, and the width it wipes.
constexpr size_t TERMINAL_LINE = 112;
std::atomic<size_t> drawn_length{0};

void write_all(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// "\r[*****     ] 3 of 8 sweeps, about 7 min 40 s left": the terminal's bar.
size_t terminal_line(char* buffer, size_t size)
{
    TextBuffer line{buffer, buffer + size};
    const uint64_t total = bar_total.load(std::memory_order_relaxed);
    const uint64_t done = bar_done.load(std::memory_order_relaxed);
    const uint64_t cells = total == 0 ? 0 : (done >= total ? TERMINAL_CELLS : done * TERMINAL_CELLS / total);
    text_put(&line, "\r[");
    for (int32_t cell = 0; cell < TERMINAL_CELLS; ++cell)
        text_put(&line, static_cast<uint64_t>(cell) < cells ? "*" : " ");
    text_put(&line, "] ");
    text_put_number(&line, done);
    text_put(&line, " of ");
    text_put_number(&line, total);
    text_put(&line, " ");
    text_put(&line, bar_unit.load(std::memory_order_relaxed));
    text_put_time_left(&line, ", ", bar_left_s.load(std::memory_order_relaxed),
                       bar_lower_bound.load(std::memory_order_relaxed));
    return static_cast<size_t>(line.at - buffer);
}

void draw_terminal_bar()
{
    // Drawn inside the measurement: a terminal that cannot take the line now
    // (stopped with Ctrl-S) loses this drawing rather than hold up the run.
    if (!error_takes_a_line_now())
        return;
    char buffer[TERMINAL_LINE];
    size_t length = terminal_line(buffer, sizeof buffer);
    // A shorter line than the last one leaves no tail of it behind.
    const size_t before = drawn_length.load(std::memory_order_relaxed);
    while (length < before && length < sizeof buffer)
        buffer[length++] = ' ';
    drawn_length.store(length, std::memory_order_relaxed);
    write_all(buffer, length);
}

} // namespace

namespace {

// Blocks a mark of the report's bar stands for. A pass of fewer blocks than
// cells marks every block rather than dividing by a step of zero.
uint64_t mark_step(uint64_t total, uint64_t cells)
{
    const uint64_t step = total / cells;
    return step == 0 ? 1 : step;
}

} // namespace

void progress_begin(int32_t cells)
{
    putchar('[');
    for (int32_t i = 0; i < cells; ++i)
        putchar(' ');
    putchar(']');
    if (cells >= 0)
        for (int32_t i = 0; i <= cells; ++i)
            putchar('\b');
    disk_marks.store(0, std::memory_order_relaxed);
    progress_count = 0;
    if (output_shares_terminal.load(std::memory_order_relaxed) && cells == PROGRESS_MARKS) {
        // On the terminal the frame must be there before anything else
        // writes to it, the status answer included.
        fflush(stdout);
        disk_bar_drawn.store(true, std::memory_order_relaxed);
    }
}

void progress_tick(uint64_t index, uint64_t total, uint64_t cells)
{
    if (index == 0)
        progress_count = 0;
    if (cells == 0)
        return;
    const uint64_t step = mark_step(total, cells);
    if (index % step != 0)
        return;
    // Once the bar is full the count stops, so a pass of billions of blocks
    // cannot overflow it; nothing more would be drawn anyway.
    if (static_cast<uint64_t>(progress_count) >= cells)
        return;
    ++progress_count;
    putchar('*');
    fflush(stdout);
    disk_marks.store(progress_count, std::memory_order_relaxed);
}

void progress_tick_shared(uint64_t index, uint64_t total, uint64_t cells)
{
    static pthread_mutex_t drawing = PTHREAD_MUTEX_INITIALIZER;
    if (cells == 0)
        return;
    const uint64_t step = mark_step(total, cells);
    if (index % step != 0 || index / step >= cells)
        return;
    pthread_mutex_lock(&drawing);
    ++progress_count;
    putchar('*');
    fflush(stdout);
    disk_marks.store(progress_count, std::memory_order_relaxed);
    pthread_mutex_unlock(&drawing);
}

void progress_end()
{
    disk_bar_drawn.store(false, std::memory_order_relaxed);
}

void progress_find_terminal()
{
    const bool error_terminal = isatty(STDERR_FILENO) == 1;
    bool shared = false;
    struct stat out;
    struct stat err;
    if (error_terminal && isatty(STDOUT_FILENO) == 1 && fstat(STDOUT_FILENO, &out) == 0 &&
        fstat(STDERR_FILENO, &err) == 0)
        shared = out.st_rdev == err.st_rdev;
    error_is_terminal.store(error_terminal, std::memory_order_relaxed);
    output_shares_terminal.store(shared, std::memory_order_relaxed);
}

bool progress_on_terminal()
{
    return error_is_terminal.load(std::memory_order_relaxed);
}

void terminal_bar_begin(const char* unit, uint64_t total, bool disk)
{
    if (total == 0 || !error_is_terminal.load(std::memory_order_relaxed) ||
        (disk && output_shares_terminal.load(std::memory_order_relaxed)))
        return;
    // What the report has said so far is on the terminal before the bar.
    if (output_shares_terminal.load(std::memory_order_relaxed))
        fflush(stdout);
    bar_unit.store(unit, std::memory_order_relaxed);
    bar_total.store(total, std::memory_order_relaxed);
    bar_done.store(0, std::memory_order_relaxed);
    bar_left_s.store(-1, std::memory_order_relaxed);
    drawn_length.store(0, std::memory_order_relaxed);
    terminal_bar_drawn.store(true, std::memory_order_relaxed);
}

bool terminal_bar_due(uint64_t done)
{
    if (!terminal_bar_drawn.load(std::memory_order_relaxed))
        return false;
    const uint64_t total = bar_total.load(std::memory_order_relaxed);
    const uint64_t before = bar_done.load(std::memory_order_relaxed);
    return drawn_length.load(std::memory_order_relaxed) == 0 || total <= 64 || done >= total || before * TERMINAL_CELLS / total != done * TERMINAL_CELLS / total;
}

void terminal_bar_draw(uint64_t done, int64_t left_s, bool lower_bound)
{
    if (!terminal_bar_drawn.load(std::memory_order_relaxed))
        return;
    bar_done.store(done, std::memory_order_relaxed);
    bar_left_s.store(left_s, std::memory_order_relaxed);
    bar_lower_bound.store(lower_bound, std::memory_order_relaxed);
    draw_terminal_bar();
}

namespace {

// "\r", blanks over the terminal's bar as last drawn, and "\r".
size_t terminal_wipe(char* buffer, size_t size)
{
    TextBuffer line{buffer, buffer + size};
    text_put(&line, "\r");
    const size_t drawn = drawn_length.load(std::memory_order_relaxed);
    for (size_t i = 1; i < drawn; ++i)
        text_put(&line, " ");
    text_put(&line, "\r");
    return static_cast<size_t>(line.at - buffer);
}

} // namespace

void terminal_bar_end()
{
    if (!terminal_bar_drawn.exchange(false, std::memory_order_relaxed))
        return;
    char blank[TERMINAL_LINE + 2];
    write_all(blank, terminal_wipe(blank, sizeof blank));
}

size_t progress_step_aside(char* buffer, size_t size)
{
    if (terminal_bar_drawn.load(std::memory_order_relaxed))
        return terminal_wipe(buffer, size);
    if (!disk_bar_drawn.load(std::memory_order_relaxed) || size == 0)
        return 0;
    buffer[0] = '\n';
    return 1;
}

size_t progress_redraw(char* buffer, size_t size)
{
    if (terminal_bar_drawn.load(std::memory_order_relaxed))
        return terminal_line(buffer, size);
    if (!disk_bar_drawn.load(std::memory_order_relaxed))
        return 0;
    // The report's own bar, shown on this terminal: the frame, the marks so
    // far, and the cursor back on the first blank.
    TextBuffer line{buffer, buffer + size};
    const int32_t marks = disk_marks.load(std::memory_order_relaxed);
    text_put(&line, "[");
    for (int32_t cell = 0; cell < PROGRESS_MARKS; ++cell)
        text_put(&line, cell < marks ? "*" : " ");
    text_put(&line, "]");
    for (int32_t cell = marks; cell <= PROGRESS_MARKS; ++cell)
        text_put(&line, "\b");
    return static_cast<size_t>(line.at - buffer);
}
