// A one-line progress display on standard error, drawn around the console lines on standard
// output so that neither garbles the other. Used only when standard error is a terminal and
// standard output does not go into a pipe; standard output stays exactly the same with or
// without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "host/events/run_events.h"

namespace host {

struct ProgressView {
    const char *phase = "";  // unlock, erase, write, verify, reboot
    const char *file = "";   // image or TTS
    uint64_t done = 0;       // bytes of both files acknowledged
    uint64_t total = 0;
    double elapsed = 0;  // seconds since the update started
};

// Phase, file, bar, percent of all bytes, rate, elapsed time and time left; pure, for tests.
std::string render_progress(const ProgressView &p, int width);

class ProgressDisplay : public RunEvents {
  public:
    // Routes console text through this display; the previous sink is restored by uninstall(),
    // which also removes the line.
    void install();
    void uninstall();

    void phase(const char *phase, const char *file) override;
    void progress(uint64_t done, uint64_t total) override;

  private:
    void write_console(std::string_view text);
    void erase_locked();
    void draw_locked();

    std::optional<ConsoleSinkScope> sink_;  // while installed
    std::mutex mutex_;
    ProgressView view_;
    bool active_ = false;
    bool drawn_ = false;
    bool mid_line_ = false;  // standard output has an unfinished line: do not draw over it
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace host
