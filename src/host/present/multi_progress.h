// Progress of several devices on standard error, one line per device, redrawn in place with the
// cursor moved up over the block. Console lines for standard output pass through write_above():
// the block is erased, the line written whole, and the block drawn again below it, so that the
// terminal shows every output line intact with the progress block always last.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/present/progress_display.h"

namespace host {

class MultiProgressDisplay {
  public:
    using Sink = std::function<void(std::string_view text)>;

    // One line per label. out and err write to standard output and standard error; columns is
    // the terminal's width (0: unknown), lines are cut to fit so none wraps.
    MultiProgressDisplay(std::vector<std::string> labels, Sink out, Sink err, int columns);

    // A device's phase and bytes; the block is redrawn at most every 100 ms.
    void phase(size_t line, const char *phase, const char *file);
    void progress(size_t line, uint64_t done, uint64_t total);
    // Replaces a device's bar with fixed text (its outcome) and redraws.
    void finish(size_t line, const std::string &text);
    // Writes standard-output text above the block.
    void write_above(std::string_view text);
    // Writes a standard-error note above the block.
    void note(std::string_view text);
    // Erases the block for good: later calls draw nothing.
    void close();

  private:
    struct Line {
        ProgressView view;
        std::string final_text;  // set once the device has finished
    };

    void changed_locked();
    void erase_locked();
    void draw_locked();
    std::string render_locked(size_t line) const;

    const std::vector<std::string> labels_;
    const Sink out_;
    const Sink err_;
    const int columns_;
    const std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::vector<Line> lines_;
    bool started_drawing_ = false;  // a device has reported: nothing is drawn before
    bool drawn_ = false;
    bool closed_ = false;
    std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace host
