#include "host/present/status_block.h"

namespace host {

namespace {
constexpr std::chrono::milliseconds kRedrawInterval{100};
}  // namespace

StatusBlock::StatusBlock(Sink out, Sink err, int columns, Lines lines)
    : out_(std::move(out)), err_(std::move(err)), columns_(columns), lines_(std::move(lines)) {}

void StatusBlock::update(const std::function<Redraw()> &change) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Redraw redraw = change();
    // Several boards or devices change many times a second between them: one redraw stands for
    // them all.
    if (redraw == Redraw::Now ||
        (redraw == Redraw::Soon && env().now() - last_draw_ >= kRedrawInterval)) {
        draw_locked();
    }
}

void StatusBlock::write_above(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    out_(text);
    draw_locked();
}

void StatusBlock::note(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    err_(text);
    draw_locked();
}

void StatusBlock::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    closed_ = true;
}

void StatusBlock::erase_locked() {
    if (drawn_lines_ == 0) {
        return;
    }
    // Up to the block's first line, then clear from there to the end of the screen.
    err_("\033[" + std::to_string(drawn_lines_) + "A\r\033[J");
    drawn_lines_ = 0;
}

void StatusBlock::draw_locked() {
    if (closed_ || !lines_) {
        return;
    }
    const SteadyTime now = env().now();
    std::vector<std::string> lines = lines_(now);
    if (lines.empty() && drawn_lines_ == 0) {
        return;
    }
    last_draw_ = now;
    // The whole block in one write, over the old one, so it never shows half drawn.
    std::string block;
    if (drawn_lines_ != 0) {
        block = "\033[" + std::to_string(drawn_lines_) + "A";
    }
    for (std::string &line : lines) {
        if (columns_ > 1 && line.size() >= static_cast<size_t>(columns_)) {
            line.resize(static_cast<size_t>(columns_) - 1);
        }
        block += "\r" + line + "\033[K\n";
    }
    // A shorter block than the last one leaves nothing of it below.
    if (lines.size() < drawn_lines_) {
        block += "\033[J";
    }
    err_(block);
    drawn_lines_ = lines.size();
}

}  // namespace host
