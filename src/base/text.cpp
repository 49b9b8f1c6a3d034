#include "base/text.h"

#include <cstdio>

namespace base {

std::string format_v(const char *fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[256];
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    if (needed < 0) {
        va_end(again);
        return "";
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(again);
        return std::string(small, static_cast<size_t>(needed));
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, again);
    va_end(again);
    text.resize(static_cast<size_t>(needed));
    return text;
}

std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = format_v(fmt, args);
    va_end(args);
    return text;
}

}  // namespace base
