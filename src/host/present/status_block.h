// A block of lines pinned at the bottom of a terminal, on standard error: redrawn in place with
// the cursor moved up over it, each line cut to the terminal's width so none wraps. Text for
// standard output or standard error passes above it: the block is erased, the text written
// whole, and the block drawn again below it. The progress of several devices and the station's
// status block are both drawn by it.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/platform/env.h"

namespace host {

class StatusBlock {
  public:
    using Sink = std::function<void(std::string_view text)>;
    // The block's lines as they stand at `now`, made under the block's lock; none: nothing is
    // drawn (yet).
    using Lines = std::function<std::vector<std::string>(SteadyTime now)>;
    // How a change is shown: not at all, at most every 100 ms (changes that come many times a
    // second), or at once.
    enum class Redraw { No, Soon, Now };

    // columns: the terminal's width (0: unknown). An empty `lines`: the block is never drawn and
    // only the text passes through.
    StatusBlock(Sink out, Sink err, int columns, Lines lines);

    // Runs `change` on the owner's state under the block's lock, and redraws as it says.
    void update(const std::function<Redraw()> &change);
    // Standard-output text above the block.
    void write_above(std::string_view text);
    // A standard-error note above the block.
    void note(std::string_view text);
    // Erases the block for good: later calls draw nothing.
    void close();

  private:
    void erase_locked();
    void draw_locked();

    const Sink out_;
    const Sink err_;
    const int columns_;
    const Lines lines_;
    std::mutex mutex_;
    size_t drawn_lines_ = 0;
    bool closed_ = false;
    SteadyTime last_draw_{};
};

}  // namespace host
