#include "host/station/station_status.h"

#include <algorithm>

#include "base/text.h"

namespace host {

namespace {
constexpr int kBarWidth = 10;
}  // namespace

void StationTotals::add(Status status) {
    switch (status) {
        case Status::Success:
            updated++;
            break;
        case Status::Current:
            current++;
            break;
        case Status::Interrupted:
            interrupted++;
            break;
        default:
            failed++;
            break;
    }
}

double boards_per_hour(unsigned updated, double seconds) {
    return updated == 0 || seconds <= 0 ? 0 : updated * 3600.0 / seconds;
}

StationStatus::StationStatus(Sink out, Sink err, bool drawn, int columns, int rows)
    : started_(env().now()),
      terminal_rows_(rows),
      block_(std::move(out), std::move(err), columns,
             drawn ? StatusBlock::Lines([this](SteadyTime now) { return render(now); })
                   : StatusBlock::Lines()) {}

void StationStatus::show() {
    block_.update([] { return StatusBlock::Redraw::Now; });
}

void StationStatus::set_slots(const std::vector<std::string> &names) {
    block_.update([&] {
        by_board_ = names.empty();
        rows_.clear();
        for (const std::string &name : names) {
            rows_.push_back(Row(name));
        }
        return StatusBlock::Redraw::Now;
    });
}

// The rows a terminal has room for: its height less the totals, the records' line, the line of
// the boards without a row and the line the cursor is left on. 0: no bound (height unknown).
size_t StationStatus::rows_allowed() const {
    return terminal_rows_ <= 0 ? 0 : static_cast<size_t>(std::max(1, terminal_rows_ - 4));
}

bool StationStatus::busy(size_t row) const {
    return std::any_of(boards_.begin(), boards_.end(),
                       [&](const auto &b) { return b.second.row == row; });
}

// A board's row without a slot map: the one of its port (a board back on its port, or the next
// board there), else a new one at the bottom. Once the terminal has no room for another, it takes
// the row of the board that passed longest ago; a failure stays until a board on its port takes
// its row (the operator's re-plug). No such row: none until one is free (the board is counted on
// a line of its own, its outcome noted above the panel as every board's is).
void StationStatus::place(BoardLine &board) {
    const size_t limit = rows_allowed();
    size_t chosen = kNoRow;
    for (size_t i = 0; i < rows_.size() && chosen == kNoRow; i++) {
        if (rows_[i].name == board.row_name && !busy(i)) {
            chosen = i;
        }
    }
    if (chosen == kNoRow && (limit == 0 || rows_.size() < limit)) {
        rows_.push_back(Row(board.row_name));
        chosen = rows_.size() - 1;
    }
    if (chosen == kNoRow) {
        // A row without a board in progress has a result: the oldest of those that passed.
        for (size_t r = 0; r < rows_.size(); r++) {
            if (rows_[r].passed && !busy(r) &&
                (chosen == kNoRow || rows_[r].ended < rows_[chosen].ended)) {
                chosen = r;
            }
        }
        if (chosen != kNoRow) {
            rows_[chosen] = Row(board.row_name);
        }
    }
    board.row = chosen;
    if (chosen != kNoRow) {
        rows_[chosen].serial = board.serial;
    }
}

void StationStatus::board_started(const std::string &tag, const std::string &row,
                                  const std::string &serial) {
    block_.update([&] {
        BoardLine &board = boards_[tag];
        board = BoardLine{ProgressView{}, env().now(), kNoRow, row, serial};
        if (by_board_) {
            place(board);
        } else {
            const auto slot = std::find_if(rows_.begin(), rows_.end(),
                                           [&](const Row &r) { return r.name == row; });
            board.row = slot == rows_.end() ? kNoRow : static_cast<size_t>(slot - rows_.begin());
        }
        return StatusBlock::Redraw::Now;
    });
}

void StationStatus::board_phase(const std::string &tag, const char *phase, const char *file) {
    block_.update([&] {
        const auto board = boards_.find(tag);
        if (board == boards_.end()) {
            return StatusBlock::Redraw::No;
        }
        board->second.view.phase = phase;
        board->second.view.file = file;
        if (board->second.row == kNoRow && by_board_) {
            place(board->second);  // a row may have become free
        }
        return StatusBlock::Redraw::Soon;
    });
}

void StationStatus::board_progress(const std::string &tag, uint64_t done, uint64_t total) {
    block_.update([&] {
        const auto board = boards_.find(tag);
        if (board == boards_.end()) {
            return StatusBlock::Redraw::No;
        }
        board->second.view.done = done;
        board->second.view.total = total;
        return StatusBlock::Redraw::Soon;
    });
}

void StationStatus::board_ended(const std::string &tag, const std::string &result,
                                const StationTotals &totals, const std::string &verdict) {
    block_.update([&] {
        totals_ = totals;
        const auto found = boards_.find(tag);
        if (found == boards_.end()) {
            return StatusBlock::Redraw::Now;
        }
        BoardLine board = std::move(found->second);
        boards_.erase(found);
        if (board.row == kNoRow && by_board_) {
            place(board);  // its result is shown, if any row can be had
        }
        if (board.row != kNoRow && !verdict.empty()) {
            Row &row = rows_[board.row];
            row.result = base::format("%-11s %s", verdict.c_str(), result.c_str());
            row.passed = verdict == "PASS" || verdict == "CURRENT";
            row.ended = ++results_;
        }
        return StatusBlock::Redraw::Now;
    });
}

void StationStatus::records_waiting(unsigned count) {
    block_.update([&] {
        if (count == records_waiting_) {
            return StatusBlock::Redraw::No;
        }
        records_waiting_ = count;
        return StatusBlock::Redraw::Now;
    });
}

std::vector<std::string> StationStatus::render(SteadyTime now) const {
    const double seconds = std::chrono::duration<double>(now - started_).count();
    std::vector<std::string> lines;
    lines.push_back(base::format(
        "station: %u updated, %u current, %u failed%s%s, %zu in progress, %.0f boards/h",
        totals_.updated, totals_.current, totals_.failed,
        totals_.interrupted == 0 ? ""
                                 : base::format(", %u interrupted", totals_.interrupted).c_str(),
        totals_.hooks_failed == 0
            ? ""
            : base::format(", %u RESULT HOOKS FAILED", totals_.hooks_failed).c_str(),
        boards_.size(), boards_per_hour(totals_.updated, seconds)));
    if (records_waiting_ != 0) {
        lines.push_back("records: " + std::to_string(records_waiting_) +
                        " waiting for the database");
    }
    std::vector<const BoardLine *> on(rows_.size(), nullptr);
    size_t unplaced = 0;
    for (const auto &[tag, board] : boards_) {
        if (board.row < on.size()) {
            on[board.row] = &board;
        } else {
            unplaced++;
        }
    }
    // A fixture larger than the terminal shows the slots it has room for (a taller panel would
    // scroll at every redraw).
    const size_t limit = rows_allowed();
    const size_t shown = limit == 0 ? rows_.size() : std::min(rows_.size(), limit);
    size_t width = 4;
    size_t serial_width = 0;
    for (size_t i = 0; i < shown; i++) {
        width = std::max(width, rows_[i].name.size());
        if (rows_[i].serial != rows_[i].name) {
            serial_width = std::max(serial_width, rows_[i].serial.size());
        }
    }
    for (size_t i = 0; i < shown; i++) {
        const Row &r = rows_[i];
        std::string state = r.result.empty() ? std::string("empty") : r.result;
        if (on[i] != nullptr) {
            ProgressView v = on[i]->view;
            v.elapsed = std::chrono::duration<double>(now - on[i]->started).count();
            state = *v.phase == '\0' ? std::string("starting") : render_progress(v, kBarWidth);
        }
        const std::string serial = r.serial == r.name ? "" : r.serial;
        lines.push_back(
            serial_width == 0
                ? base::format("%-*s  %s", static_cast<int>(width), r.name.c_str(), state.c_str())
                : base::format("%-*s  %-*s  %s", static_cast<int>(width), r.name.c_str(),
                               static_cast<int>(serial_width), serial.c_str(), state.c_str()));
    }
    if (shown < rows_.size()) {
        lines.push_back(base::format("(%zu more slots than this terminal has lines for)",
                                     rows_.size() - shown));
    }
    if (unplaced != 0) {
        lines.push_back(base::format(
            "(%zu more in progress: no row is free; each takes one as a board ends)", unplaced));
    }
    return lines;
}

}  // namespace host
