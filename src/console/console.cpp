#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

namespace {
console_sink_t &current_sink() {
    static console_sink_t sink;
    return sink;
}
}  // namespace

void console_stdout_sink(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void console_write(std::string_view text) {
    const console_sink_t &sink = current_sink();
    if (sink) {
        sink(text);
    } else {
        console_stdout_sink(text);
    }
}

void console_printf(const char *fmt, ...) {
    char small[256];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        console_write(std::string_view(small, static_cast<size_t>(n)));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, again);
    va_end(again);
    big.resize(static_cast<size_t>(n));
    console_write(big);
}

ConsoleSinkScope::ConsoleSinkScope(console_sink_t sink)
    : previous_(std::exchange(current_sink(), std::move(sink))) {}

ConsoleSinkScope::~ConsoleSinkScope() {
    current_sink() = std::move(previous_);
}
