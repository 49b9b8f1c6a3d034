// Where the tool's console text goes. Every line the engine and the host print passes through
// console_printf, so the host can keep lines whole around a progress display and tests can
// capture exactly what a user would see. Text goes to standard output until a sink is set.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define CONSOLE_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define CONSOLE_PRINTF_FORMAT
#endif

using console_sink_t = std::function<void(std::string_view text)>;

// Formats like printf and hands the text to the current sink in one piece.
void console_printf(const char *fmt, ...) CONSOLE_PRINTF_FORMAT;

// Hands text to the current sink unchanged.
void console_write(std::string_view text);

// Routes console text to `sink` while it lives and restores the sink it replaced when it goes, so
// that scopes nest: the innermost one receives the text. Not to be made or ended while another
// thread may print; scopes end in the reverse order they began.
class ConsoleSinkScope {
  public:
    explicit ConsoleSinkScope(console_sink_t sink);
    ~ConsoleSinkScope();
    ConsoleSinkScope(const ConsoleSinkScope &) = delete;
    ConsoleSinkScope &operator=(const ConsoleSinkScope &) = delete;

  private:
    console_sink_t previous_;
};

// Writes text to standard output and flushes it, so lines show at once even when piped.
void console_stdout_sink(std::string_view text);
