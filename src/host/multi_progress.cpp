#include "multi_progress.h"

#include <utility>

namespace host {

namespace {
constexpr std::chrono::milliseconds kRedrawInterval{100};
constexpr int kBarWidth = 20;
}  // namespace

MultiProgressDisplay::MultiProgressDisplay(std::vector<std::string> labels, Sink out, Sink err,
                                           int columns)
    : labels_(std::move(labels)),
      out_(std::move(out)),
      err_(std::move(err)),
      columns_(columns),
      lines_(labels_.size()) {}

void MultiProgressDisplay::update(size_t line, const Progress &p) {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    Progress &last = lines_[line].progress;
    const bool stage_changed = p.state != last.state || p.range != last.range;
    last = p;
    const auto now = std::chrono::steady_clock::now();
    if (!stage_changed && now - last_draw_ < kRedrawInterval) {
        return;
    }
    draw_locked();
}

void MultiProgressDisplay::finish(size_t line, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].final_text = text;
    started_ = true;
    draw_locked();
}

void MultiProgressDisplay::write_above(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    out_(text);
    draw_locked();
}

void MultiProgressDisplay::note(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    err_(text);
    draw_locked();
}

void MultiProgressDisplay::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    closed_ = true;
}

void MultiProgressDisplay::erase_locked() {
    if (!drawn_) {
        return;
    }
    // Up to the block's first line, then clear from there to the end of the screen.
    err_("\033[" + std::to_string(lines_.size()) + "A\r\033[J");
    drawn_ = false;
}

void MultiProgressDisplay::draw_locked() {
    if (closed_ || !started_) {
        return;
    }
    // The whole block in one write, over the old one, so it never shows half drawn.
    std::string block;
    if (drawn_) {
        block = "\033[" + std::to_string(lines_.size()) + "A";
    }
    for (size_t i = 0; i < lines_.size(); i++) {
        block += "\r" + render_locked(i) + "\033[K\n";
    }
    err_(block);
    drawn_ = true;
    last_draw_ = std::chrono::steady_clock::now();
}

std::string MultiProgressDisplay::render_locked(size_t line) const {
    const Line &l = lines_[line];
    std::string text = "[" + labels_[line] + "] ";
    if (!l.final_text.empty()) {
        text += l.final_text;
    } else if (l.progress.ranges == 0) {
        text += "waiting";
    } else {
        text += render_progress(l.progress, kBarWidth);
    }
    if (columns_ > 1 && text.size() >= static_cast<size_t>(columns_)) {
        text.resize(static_cast<size_t>(columns_) - 1);
    }
    return text;
}

}  // namespace host
