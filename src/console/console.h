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

// Replaces the sink; an empty function restores standard output. Not to be called while another
// thread may print.
void console_set_sink(console_sink_t sink);

// Writes text to standard output and flushes it, so lines show at once even when piped.
void console_stdout_sink(std::string_view text);
