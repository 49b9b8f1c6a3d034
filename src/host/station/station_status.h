// The station's status block at the bottom of a terminal, on standard error: totals and rate, a
// progress line per board in progress and the last few results. Standard-output lines and notes
// pass above it, as with the progress of several devices.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
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

    // drawn: a terminal shows the block; otherwise only write_above and note pass through.
    StationStatus(Sink out, Sink err, bool drawn, int columns);

    // Draws the block before any board came: the operator sees the station waiting.
    void show();
    // The operator's panel of a fixture: one fixed row per slot in this order (boards tagged by
    // their slot), each empty, in progress, or its last board's result, instead of the lines of
    // the boards in progress and the last results.
    void set_slots(const std::vector<std::string> &names);
    void board_started(const std::string &tag);
    void board_phase(const std::string &tag, const char *phase, const char *file);
    void board_progress(const std::string &tag, uint64_t done, uint64_t total);
    // The board is done: off the progress lines, onto the last results.
    // verdict: PASS, FAIL, CURRENT or INTERRUPTED, the panel's word for the result.
    void board_ended(const std::string &tag, const std::string &result, const StationTotals &totals,
                     const std::string &verdict = "");
    // Records waiting for the database: a line of the block while there are any.
    void records_waiting(unsigned count);
    void write_above(std::string_view text) { block_.write_above(text); }
    void note(std::string_view text) { block_.note(text); }
    // Erases the block for good.
    void close() { block_.close(); }

  private:
    struct BoardLine {
        ProgressView view;
        SteadyTime started{};
    };

    // Under the block's lock.
    std::vector<std::string> render(SteadyTime now) const;

    const SteadyTime started_;
    std::map<std::string, BoardLine> boards_;          // in progress
    std::deque<std::string> results_;                  // the last few, newest last
    std::vector<std::string> slots_;                   // the panel's rows; empty: no panel
    std::map<std::string, std::string> slot_results_;  // slot: its last board's verdict and why
    StationTotals totals_;
    unsigned records_waiting_ = 0;
    StatusBlock block_;
};

}  // namespace host
