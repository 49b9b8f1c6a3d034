// Progress of several devices on standard error, one line per device, redrawn in place with the
// cursor moved up over the block. Console lines for standard output pass through write_above():
// the block is erased, the line written whole, and the block drawn again below it, so that the
// terminal shows every output line intact with the progress block always last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/present/progress_display.h"
#include "host/present/status_block.h"

namespace host {

class MultiProgressDisplay {
  public:
    using Sink = StatusBlock::Sink;

    // One line per label. out and err write to standard output and standard error; columns is
    // the terminal's width (0: unknown), lines are cut to fit so none wraps.
    MultiProgressDisplay(std::vector<std::string> labels, Sink out, Sink err, int columns);

    // A device's phase and bytes; the block is redrawn at most every 100 ms.
    void phase(size_t line, const char *phase, const char *file);
    void progress(size_t line, uint64_t done, uint64_t total);
    // Replaces a device's bar with fixed text (its outcome) and redraws.
    void finish(size_t line, const std::string &text);
    // Writes standard-output text above the block.
    void write_above(std::string_view text) { block_.write_above(text); }
    // Writes a standard-error note above the block.
    void note(std::string_view text) { block_.note(text); }
    // Erases the block for good: later calls draw nothing.
    void close() { block_.close(); }

  private:
    struct Line {
        ProgressView view;
        std::string final_text;  // set once the device has finished
    };

    // Under the block's lock.
    std::vector<std::string> render(SteadyTime now) const;

    const std::vector<std::string> labels_;
    const SteadyTime started_;
    std::vector<Line> lines_;
    bool started_drawing_ = false;  // a device has reported: nothing is drawn before
    StatusBlock block_;
};

}  // namespace host
