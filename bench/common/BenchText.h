#pragma once

// Text helpers for the benchmarks' reports.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

namespace BenchText {

// printf into a std::string (at most 511 characters).
inline std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char *fmt, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

// 1234567 -> "1,234,567"
inline std::string grouped(long long n)
{
    const std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    const int len = static_cast<int>(digits.size());
    for (int i = 0; i < len; ++i) {
        out += digits[static_cast<std::size_t>(i)];
        const int left = len - 1 - i;
        if (left > 0 && left % 3 == 0)
            out += ',';
    }
    return n < 0 ? "-" + out : out;
}

} // namespace BenchText
