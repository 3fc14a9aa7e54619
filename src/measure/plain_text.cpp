#include "measure/plain_text.h"

#include <poll.h>
#include <unistd.h>

void text_put(TextBuffer* text, const char* words)
{
    while (*words != '\0' && text->at < text->end)
        *text->at++ = *words++;
}

void text_put_number(TextBuffer* text, uint64_t value, int min_digits)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 || n < min_digits);
    while (n > 0 && text->at < text->end)
        *text->at++ = digits[--n];
}

void text_put_duration(TextBuffer* text, int64_t seconds)
{
    const uint64_t s = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
    if (s >= 3600) {
        text_put_number(text, s / 3600);
        text_put(text, " h ");
        text_put_number(text, s % 3600 / 60, 2);
        text_put(text, " min");
    } else if (s >= 60) {
        text_put_number(text, s / 60);
        text_put(text, " min ");
        text_put_number(text, s % 60);
        text_put(text, " s");
    } else {
        text_put_number(text, s);
        text_put(text, " s");
    }
}

void text_put_time_left(TextBuffer* text, const char* separator, int64_t seconds, bool lower_bound)
{
    // "More than 0 s" says nothing.
    if (seconds < 0 || (lower_bound && seconds == 0))
        return;
    text_put(text, separator);
    text_put(text, lower_bound ? "more than " : "about ");
    text_put_duration(text, seconds);
    text_put(text, " left");
}

bool error_takes_a_line_now()
{
    // A line shorter than PIPE_BUF goes into a pipe with room whole or not
    // at all.
    struct pollfd err{STDERR_FILENO, POLLOUT, 0};
    return poll(&err, 1, 0) == 1 && (err.revents & POLLOUT) != 0;
}
