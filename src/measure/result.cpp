#include "measure/result.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

char* format_size(uint64_t bytes, char* buffer)
{
    const double value = static_cast<double>(bytes);
    if (bytes >= (uint64_t{1} << 30))
        snprintf(buffer, SIZE_LABEL_LEN, "%0.2f GiB", value * 0x1p-30);
    else if (bytes >= (uint64_t{1} << 20))
        snprintf(buffer, SIZE_LABEL_LEN, "%0.2f MiB", value * 0x1p-20);
    else if (bytes >= 1024)
        snprintf(buffer, SIZE_LABEL_LEN, "%0.2f KiB", value * 0x1p-10);
    else
        snprintf(buffer, SIZE_LABEL_LEN, "%0.2f B", value);
    return buffer;
}

char* format_block(uint64_t bytes, char* buffer)
{
    if (bytes >= (uint64_t{1} << 20) && bytes % (uint64_t{1} << 20) == 0)
        snprintf(buffer, SIZE_LABEL_LEN, "%" PRIu64 " MiB", bytes >> 20);
    else if (bytes >= 1024 && bytes % 1024 == 0)
        snprintf(buffer, SIZE_LABEL_LEN, "%" PRIu64 " KiB", bytes >> 10);
    else
        snprintf(buffer, SIZE_LABEL_LEN, "%" PRIu64 " B", bytes);
    return buffer;
}

namespace {

double rate_for_seconds(double seconds, uint64_t size, int32_t sweeps)
{
    const uint64_t bytes = static_cast<uint64_t>(static_cast<int64_t>(sweeps)) * size;
    const double mebibytes = static_cast<double>(bytes) * 0x1p-20;
    const double rate = mebibytes / seconds;
    // 0.0 / 0.0 has its sign bit set on amd64 and would print as "-nan";
    // a rate is never negative, so show the plain "nan".
    return std::isnan(rate) ? std::numeric_limits<double>::quiet_NaN() : rate;
}

} // namespace

double rate_mib_per_s(uint64_t ms, uint64_t size, int32_t sweeps)
{
    return rate_for_seconds(static_cast<double>(ms) / 1000.0, size, sweeps);
}

double rate_mib_per_s_us(uint64_t us, uint64_t size, int32_t sweeps)
{
    return rate_for_seconds(static_cast<double>(us) / 1e6, size, sweeps);
}

void format_result(char* line, uint64_t ms, const char* label, uint64_t size, int32_t sweeps,
                   uint64_t block)
{
    char size_label[SIZE_LABEL_LEN];
    char block_label[SIZE_LABEL_LEN];
    format_size(size, size_label);
    format_size(block, block_label);
    snprintf(line, RESULT_LINE_LEN, "%12s %-7s %12s blocks %12.2f ms %12.2f MiB/s\n", size_label,
             label, block_label, static_cast<double>(ms), rate_mib_per_s(ms, size, sweeps));
}

void print_result(uint64_t ms, const char* label, uint64_t size, int32_t sweeps, uint64_t block)
{
    char line[RESULT_LINE_LEN];
    format_result(line, ms, label, size, sweeps, block);
    fputs(line, stdout);
}
