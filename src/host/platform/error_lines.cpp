#include "host/platform/error_lines.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

namespace host {

namespace {
thread_local std::function<void(std::string_view)> collector;
}  // namespace

void error_write(std::string_view text) {
    if (collector) {
        collector(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void error_printf(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, again);
    va_end(again);
    text.resize(static_cast<size_t>(n));
    error_write(text);
}

ErrorLinesScope::ErrorLinesScope(std::function<void(std::string_view)> collect)
    : previous_(std::exchange(collector, std::move(collect))) {}

ErrorLinesScope::~ErrorLinesScope() {
    collector = std::move(previous_);
}

std::string error_lines_as_message(const std::string &lines) {
    std::string message;
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        if (end == std::string::npos) {
            end = lines.size();
        }
        std::string line = lines.substr(at, end - at);
        if (line.rfind("hidiap: ", 0) == 0) {
            line.erase(0, 8);
        }
        const bool aside = line.rfind("warning: ", 0) == 0 || line.rfind("note: ", 0) == 0 ||
                           line.rfind("waiting up to ", 0) == 0;
        if (!line.empty() && !aside) {
            message += (message.empty() ? "" : "; ") + line;
        }
        at = end + 1;
    }
    return message;
}

}  // namespace host
