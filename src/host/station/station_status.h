// The station's status block at the bottom of a terminal, on standard error: totals and rate, a
// progress line per board in progress and the last few results. Standard-output lines and notes
// pass above it, as with the progress of several devices.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "host/present/progress_display.h"

namespace host {

struct StationTotals {
    unsigned updated = 0;
    unsigned current = 0;
    unsigned failed = 0;
    unsigned interrupted = 0;
    unsigned handled() const { return updated + current + failed + interrupted; }
};

// Boards an hour at the pace of `handled` boards in `seconds` (0 before there is a pace).
double boards_per_hour(unsigned handled, double seconds);

class StationStatus {
  public:
    using Sink = std::function<void(std::string_view text)>;

    // drawn: a terminal shows the block; otherwise only write_above and note pass through.
    StationStatus(Sink out, Sink err, bool drawn, int columns);

    // Draws the block before any board came: the operator sees the station waiting.
    void show();
    void board_started(const std::string &tag);
    void board_phase(const std::string &tag, const char *phase, const char *file);
    void board_progress(const std::string &tag, uint64_t done, uint64_t total);
    // The board is done: off the progress lines, onto the last results.
    void board_ended(const std::string &tag, const std::string &result,
                     const StationTotals &totals);
    // Records waiting for the database: a line of the block while there are any.
    void records_waiting(unsigned count);
    void write_above(std::string_view text);
    void note(std::string_view text);
    // Erases the block for good.
    void close();

  private:
    void erase_locked();
    void draw_locked();
    void changed_locked();

    const Sink out_;
    const Sink err_;
    const bool drawn_enabled_;
    const int columns_;
    const std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::map<std::string, ProgressView> boards_;  // in progress
    std::map<std::string, std::chrono::steady_clock::time_point> board_started_;
    std::deque<std::string> results_;  // the last few, newest last
    StationTotals totals_;
    unsigned records_waiting_ = 0;
    size_t drawn_lines_ = 0;
    bool closed_ = false;
    std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace host
