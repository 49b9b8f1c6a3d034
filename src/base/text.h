// Text helpers every layer may use: printf into a std::string of whatever length it takes.
#pragma once

#include <cstdarg>
#include <string>

#if defined(__MINGW32__)
// MinGW's C++ library formats as C99 does (%zu, %lld), which "printf" would check as the older
// Windows runtime's format.
#define BASE_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__) || defined(__clang__)
#define BASE_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define BASE_PRINTF_FORMAT(fmt, args)
#endif

namespace base {

// printf into a string; the whole text, however long.
std::string format(const char *fmt, ...) BASE_PRINTF_FORMAT(1, 2);
std::string format_v(const char *fmt, va_list args);

}  // namespace base
