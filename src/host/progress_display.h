// A one-line progress display on standard error, drawn around the console lines on standard
// output so that neither garbles the other. Used only when standard error is a terminal;
// standard output stays exactly the same with or without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "iap.h"

namespace host {

struct Progress {
    iap_state_t state = IAP_ST_IDLE;
    uint32_t offset = 0;  // bytes of the current range written
    uint32_t size = 0;    // bytes in the current range
    unsigned range = 0;   // 1-based index of the range being programmed
    unsigned ranges = 0;
};

// Draws a bar and counts for one progress snapshot; pure, for tests.
std::string render_progress(const Progress &p, int width);

class ProgressDisplay {
  public:
    // Routes console text through this display; the previous sink is restored by uninstall().
    void install();
    void uninstall();
    // Records the engine's state; redraws at most every 50 ms unless the stage changed.
    void update(const Progress &p);

  private:
    void write_console(std::string_view text);
    void erase_locked();
    void draw_locked();

    std::mutex mutex_;
    Progress last_;
    bool drawn_ = false;
    bool mid_line_ = false;  // standard output has an unfinished line: do not draw over it
    std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace host
