// The operator's panel at the bottom of a terminal, on standard error: totals and rate, then one
// fixed row per slot of the fixture (in the map's order) or, without a slot map, per board (by
// its port path, in the order they first came), each empty, in progress, or its last board's
// verdict. Standard-output lines and notes pass above it, as with the progress of several
// devices.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/present/progress_display.h"
#include "host/present/status_block.h"

namespace host {

struct StationTotals {
    unsigned updated = 0;
    unsigned current = 0;
    unsigned failed = 0;
    unsigned interrupted = 0;
    unsigned hooks_failed = 0;  // boards whose result hook failed (their outcome stands)
    unsigned handled() const { return updated + current + failed + interrupted; }
    // Counts a board that ended with this status.
    void add(Status status);
};

// Boards an hour at the pace of `updated` boards in `seconds` (0 before there is a pace). Only
// boards updated count: a station's pace is the boards it updates, and a board found current or
// failed in a moment would make it look far faster than it is.
double boards_per_hour(unsigned updated, double seconds);

class StationStatus {
  public:
    using Sink = StatusBlock::Sink;

    // drawn: a terminal shows the panel; otherwise only write_above and note pass through.
    // columns, rows: the terminal's size (0: unknown), which bounds the panel.
    StationStatus(Sink out, Sink err, bool drawn, int columns, int rows = 0);

    // Draws the panel before any board came: the operator sees the station waiting.
    void show();
    // A fixture: one fixed row per slot in this order, boards tagged by their slot. Without it the
    // rows are the boards', made as they come.
    void set_slots(const std::vector<std::string> &names);
    // row: the slot's name, or the board's port path (its serial number when it has none); a
    // board back on the same port takes its row again. serial: shown beside a board's row.
    void board_started(const std::string &tag, const std::string &row,
                       const std::string &serial = "");
    void board_phase(const std::string &tag, const char *phase, const char *file);
    void board_progress(const std::string &tag, uint64_t done, uint64_t total);
    // The board is done: its row shows its verdict (PASS, FAIL, CURRENT, INTERRUPTED, NOT
    // HANDLED) and the result's words.
    void board_ended(const std::string &tag, const std::string &result, const StationTotals &totals,
                     const std::string &verdict = "");
    // Records waiting for the database: a line of the panel while there are any.
    void records_waiting(unsigned count);
    void write_above(std::string_view text) { block_.write_above(text); }
    void note(std::string_view text) { block_.note(text); }
    // Erases the panel for good.
    void close() { block_.close(); }

  private:
    static constexpr size_t kNoRow = static_cast<size_t>(-1);
    struct Row {
        explicit Row(std::string n) : name(std::move(n)) {}
        std::string name;
        std::string serial;  // boards' rows: the serial number of the board last on it
        std::string result;  // its last board's verdict and why; empty: none yet
        bool passed = false;
        uint64_t ended = 0;  // when its result came, in results: which one is oldest
    };
    struct BoardLine {
        ProgressView view;
        SteadyTime started{};
        size_t row = kNoRow;  // none: every row is busy and the terminal has no room for more
        std::string row_name;
        std::string serial;
    };

    // Under the block's lock.
    size_t rows_allowed() const;
    bool busy(size_t row) const;
    void place(BoardLine &board);
    std::vector<std::string> render(SteadyTime now) const;

    const SteadyTime started_;
    const int terminal_rows_;
    std::map<std::string, BoardLine> boards_;  // in progress, by tag
    std::vector<Row> rows_;
    bool by_board_ = true;  // no slot map: rows are made as boards come
    uint64_t results_ = 0;
    StationTotals totals_;
    unsigned records_waiting_ = 0;
    StatusBlock block_;
};

}  // namespace host
