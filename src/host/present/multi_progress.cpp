#include "host/present/multi_progress.h"

#include <utility>

namespace host {

namespace {
constexpr std::chrono::milliseconds kRedrawInterval{100};
constexpr int kBarWidth = 10;
}  // namespace

MultiProgressDisplay::MultiProgressDisplay(std::vector<std::string> labels, Sink out, Sink err,
                                           int columns)
    : labels_(std::move(labels)),
      out_(std::move(out)),
      err_(std::move(err)),
      columns_(columns),
      started_(std::chrono::steady_clock::now()),
      lines_(labels_.size()) {}

void MultiProgressDisplay::phase(size_t line, const char *phase, const char *file) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].view.phase = phase;
    lines_[line].view.file = file;
    changed_locked();
}

void MultiProgressDisplay::progress(size_t line, uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].view.done = done;
    lines_[line].view.total = total;
    changed_locked();
}

void MultiProgressDisplay::finish(size_t line, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].final_text = text;
    started_drawing_ = true;
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

void MultiProgressDisplay::changed_locked() {
    started_drawing_ = true;
    // Several devices change many times a second between them: one redraw stands for them all.
    if (std::chrono::steady_clock::now() - last_draw_ >= kRedrawInterval) {
        draw_locked();
    }
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
    if (closed_ || !started_drawing_) {
        return;
    }
    // The whole block in one write, over the old one, so it never shows half drawn.
    std::string block;
    if (drawn_) {
        block = "\033[" + std::to_string(lines_.size()) + "A";
    }
    last_draw_ = std::chrono::steady_clock::now();
    for (size_t i = 0; i < lines_.size(); i++) {
        block += "\r" + render_locked(i) + "\033[K\n";
    }
    err_(block);
    drawn_ = true;
}

std::string MultiProgressDisplay::render_locked(size_t line) const {
    const Line &l = lines_[line];
    std::string text = "[" + labels_[line] + "] ";
    if (!l.final_text.empty()) {
        text += l.final_text;
    } else if (*l.view.phase == '\0') {
        text += "waiting";
    } else {
        ProgressView view = l.view;
        view.elapsed = std::chrono::duration<double>(last_draw_ - started_).count();
        text += render_progress(view, kBarWidth);
    }
    if (columns_ > 1 && text.size() >= static_cast<size_t>(columns_)) {
        text.resize(static_cast<size_t>(columns_) - 1);
    }
    return text;
}

}  // namespace host
