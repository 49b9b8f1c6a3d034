#include "host/present/progress_display.h"

#include <cstdio>

#include "console/console.h"
#include "host/platform/env.h"

namespace host {

namespace {

constexpr std::chrono::milliseconds kRedrawInterval{50};

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

std::string render_progress(const ProgressView &p, int width) {
    const uint64_t done = p.done < p.total ? p.done : p.total;
    const int percent = p.total == 0 ? 0 : static_cast<int>(done * 100 / p.total);
    const int filled = p.total == 0 ? 0 : static_cast<int>(done * width / p.total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    const double rate = p.elapsed > 0 ? static_cast<double>(done) / p.elapsed : 0;
    const std::string left =
        rate > 0 ? clock_text(static_cast<double>(p.total - done) / rate) : std::string("-:--");
    char line[256];
    std::snprintf(line, sizeof line, "%-6s %-5s [%s] %3d%% %llu/%llu bytes %6.1f KiB/s %s, %s left",
                  p.phase, p.file, bar.c_str(), percent, static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(p.total), rate / 1024.0,
                  clock_text(p.elapsed).c_str(), left.c_str());
    return line;
}

void ProgressDisplay::install() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = env().now();
        active_ = true;
    }
    sink_.emplace([this](std::string_view text) { write_console(text); });
}

void ProgressDisplay::uninstall() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        active_ = false;
        erase_locked();
    }
    sink_.reset();
}

void ProgressDisplay::phase(const char *phase, const char *file) {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.phase = phase;
    view_.file = file;
    if (!mid_line_) {
        draw_locked();
    }
}

void ProgressDisplay::progress(uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.done = done;
    view_.total = total;
    // Redrawn at most every 50 ms for the bytes alone; a new phase is drawn at once.
    const auto now = env().now();
    if (!mid_line_ && (now - last_draw_ >= kRedrawInterval || done == total)) {
        draw_locked();
    }
}

void ProgressDisplay::write_console(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    console_stdout_sink(text);
    mid_line_ = !text.empty() && text.back() != '\n';
    if (!mid_line_ && *view_.phase != '\0') {
        draw_locked();
    }
}

void ProgressDisplay::erase_locked() {
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

void ProgressDisplay::draw_locked() {
    if (!active_ || *view_.phase == '\0') {
        return;
    }
    last_draw_ = env().now();
    view_.elapsed = std::chrono::duration<double>(last_draw_ - started_).count();
    std::fprintf(stderr, "\r%s\033[K", render_progress(view_, 20).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace host
