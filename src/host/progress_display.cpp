#include "progress_display.h"

#include <cstdio>

#include "console.h"

namespace host {

namespace {

const char *stage_name(iap_state_t s) {
    switch (s) {
        case IAP_ST_FLASH_UNLOCK:
            return "unlock";
        case IAP_ST_FLASH_ERASE:
            return "erase";
        case IAP_ST_FLASH_WRITE:
        case IAP_ST_FLASH_WRITE_PAGE_BUF:
            return "write";
        case IAP_ST_FLASH_CHECK:
            return "verify";
        case IAP_ST_FLASH_LOCK:
            return "lock";
        case IAP_ST_FLASH_REBOOT:
            return "reboot";
        case IAP_ST_FLASH_SURVEY_RANGE:
        case IAP_ST_FLASH_SURVEY_SECTOR:
            return "survey";
        case IAP_ST_IDLE:
            break;
    }
    return "idle";
}

constexpr std::chrono::milliseconds kRedrawInterval{50};

}  // namespace

std::string render_progress(const Progress &p, int width) {
    const uint32_t done = p.offset < p.size ? p.offset : p.size;
    const int percent = p.size == 0 ? 0 : static_cast<int>(uint64_t{done} * 100 / p.size);
    const int filled = p.size == 0 ? 0 : static_cast<int>(uint64_t{done} * width / p.size);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    char line[160];
    std::snprintf(line, sizeof line, "range %u/%u [%s] %3d%% %u/%u bytes  %s", p.range, p.ranges,
                  bar.c_str(), percent, done, p.size, stage_name(p.state));
    return line;
}

void ProgressDisplay::install() {
    console_set_sink([this](std::string_view text) { write_console(text); });
}

void ProgressDisplay::uninstall() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        erase_locked();
    }
    console_set_sink(nullptr);
}

void ProgressDisplay::update(const Progress &p) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool stage_changed = p.state != last_.state || p.range != last_.range;
    last_ = p;
    const auto now = std::chrono::steady_clock::now();
    if (!stage_changed && now - last_draw_ < kRedrawInterval) {
        return;
    }
    last_draw_ = now;
    if (!mid_line_) {
        draw_locked();
    }
}

void ProgressDisplay::write_console(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    console_stdout_sink(text);
    mid_line_ = !text.empty() && text.back() != '\n';
    if (!mid_line_ && last_.state != IAP_ST_IDLE) {
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
    if (last_.state == IAP_ST_IDLE) {
        erase_locked();
        return;
    }
    std::fprintf(stderr, "\r%s\033[K", render_progress(last_, 30).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace host
