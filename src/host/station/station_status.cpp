#include "host/station/station_status.h"

#include <cstdio>

namespace host {

namespace {
constexpr std::chrono::milliseconds kRedrawInterval{100};
constexpr size_t kResultsShown = 5;
constexpr int kBarWidth = 10;
}  // namespace

double boards_per_hour(unsigned handled, double seconds) {
    return handled == 0 || seconds <= 0 ? 0 : handled * 3600.0 / seconds;
}

StationStatus::StationStatus(Sink out, Sink err, bool drawn, int columns)
    : out_(std::move(out)),
      err_(std::move(err)),
      drawn_enabled_(drawn),
      columns_(columns),
      started_(std::chrono::steady_clock::now()) {}

void StationStatus::show() {
    std::lock_guard<std::mutex> lock(mutex_);
    draw_locked();
}

void StationStatus::board_started(const std::string &tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_[tag] = ProgressView{};
    board_started_[tag] = std::chrono::steady_clock::now();
    draw_locked();
}

void StationStatus::board_phase(const std::string &tag, const char *phase, const char *file) {
    std::lock_guard<std::mutex> lock(mutex_);
    ProgressView &v = boards_[tag];
    v.phase = phase;
    v.file = file;
    changed_locked();
}

void StationStatus::board_progress(const std::string &tag, uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    ProgressView &v = boards_[tag];
    v.done = done;
    v.total = total;
    changed_locked();
}

void StationStatus::board_ended(const std::string &tag, const std::string &result,
                                const StationTotals &totals) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.erase(tag);
    board_started_.erase(tag);
    totals_ = totals;
    results_.push_back("[" + tag + "] " + result);
    while (results_.size() > kResultsShown) {
        results_.pop_front();
    }
    draw_locked();
}

void StationStatus::records_waiting(unsigned count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count == records_waiting_) {
        return;
    }
    records_waiting_ = count;
    draw_locked();
}

void StationStatus::write_above(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    out_(text);
    draw_locked();
}

void StationStatus::note(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    err_(text);
    draw_locked();
}

void StationStatus::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_locked();
    closed_ = true;
}

void StationStatus::changed_locked() {
    if (std::chrono::steady_clock::now() - last_draw_ >= kRedrawInterval) {
        draw_locked();
    }
}

void StationStatus::erase_locked() {
    if (drawn_lines_ == 0) {
        return;
    }
    err_("\033[" + std::to_string(drawn_lines_) + "A\r\033[J");
    drawn_lines_ = 0;
}

void StationStatus::draw_locked() {
    if (!drawn_enabled_ || closed_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    std::vector<std::string> lines;
    char head[160];
    std::snprintf(head, sizeof head,
                  "station: %u updated, %u current, %u failed, %zu in progress, %.0f boards/h",
                  totals_.updated, totals_.current, totals_.failed + totals_.interrupted,
                  boards_.size(), boards_per_hour(totals_.handled(), seconds));
    lines.emplace_back(head);
    if (records_waiting_ != 0) {
        lines.push_back("records: " + std::to_string(records_waiting_) +
                        " waiting for the database");
    }
    for (const auto &[tag, view] : boards_) {
        ProgressView v = view;
        v.elapsed = std::chrono::duration<double>(now - board_started_[tag]).count();
        lines.push_back(
            "[" + tag + "] " +
            (*v.phase == '\0' ? std::string("starting") : render_progress(v, kBarWidth)));
    }
    for (const std::string &r : results_) {
        lines.push_back(r);
    }
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
    block += "\033[J";
    err_(block);
    drawn_lines_ = lines.size();
}

}  // namespace host
