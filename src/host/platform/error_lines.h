// The lines the layers below the tool have for standard error (a file refused, a device waited
// for). They go to standard error unless the thread collects them: the library turns them into
// the messages it returns, and prints nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define ERROR_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define ERROR_PRINTF_FORMAT
#endif

namespace host {

// Formats like printf; the text goes to this thread's collector, or to standard error.
void error_printf(const char *fmt, ...) ERROR_PRINTF_FORMAT;
void error_write(std::string_view text);

// While it lives, this thread's error lines go to `collect` instead of standard error. Scopes
// nest; each thread has its own.
class ErrorLinesScope {
  public:
    explicit ErrorLinesScope(std::function<void(std::string_view)> collect);
    ~ErrorLinesScope();
    ErrorLinesScope(const ErrorLinesScope &) = delete;
    ErrorLinesScope &operator=(const ErrorLinesScope &) = delete;

  private:
    std::function<void(std::string_view)> previous_;
};

// Collected error lines as one message: each line without its "hidiap: " and its line end,
// joined with "; ", leaving out warnings, notes and the waits for a device.
std::string error_lines_as_message(const std::string &lines);

}  // namespace host
