#include "host/present/multi_progress.h"

#include <utility>

namespace host {

namespace {
constexpr int kBarWidth = 10;
}  // namespace

MultiProgressDisplay::MultiProgressDisplay(std::vector<std::string> labels, Sink out, Sink err,
                                           int columns)
    : labels_(std::move(labels)),
      started_(env().now()),
      lines_(labels_.size()),
      block_(std::move(out), std::move(err), columns,
             [this](SteadyTime now) { return render(now); }) {}

void MultiProgressDisplay::phase(size_t line, const char *phase, const char *file) {
    block_.update([&] {
        lines_[line].view.phase = phase;
        lines_[line].view.file = file;
        started_drawing_ = true;
        return StatusBlock::Redraw::Soon;
    });
}

void MultiProgressDisplay::progress(size_t line, uint64_t done, uint64_t total) {
    block_.update([&] {
        lines_[line].view.done = done;
        lines_[line].view.total = total;
        started_drawing_ = true;
        return StatusBlock::Redraw::Soon;
    });
}

void MultiProgressDisplay::finish(size_t line, const std::string &text) {
    block_.update([&] {
        lines_[line].final_text = text;
        started_drawing_ = true;
        return StatusBlock::Redraw::Now;
    });
}

std::vector<std::string> MultiProgressDisplay::render(SteadyTime now) const {
    std::vector<std::string> texts;
    if (!started_drawing_) {
        return texts;
    }
    for (size_t i = 0; i < lines_.size(); i++) {
        const Line &l = lines_[i];
        std::string text = "[" + labels_[i] + "] ";
        if (!l.final_text.empty()) {
            text += l.final_text;
        } else if (*l.view.phase == '\0') {
            text += "waiting";
        } else {
            ProgressView view = l.view;
            view.elapsed = std::chrono::duration<double>(now - started_).count();
            text += render_progress(view, kBarWidth);
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

}  // namespace host
