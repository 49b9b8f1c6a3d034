// Console text of several devices at once, each line led by its device's tag:
// "[SIM0002] [IAP]: flash unlock\r\n". The engine prints a line in several pieces (a prefix, then
// its text), and devices print at the same time on different threads; each device's text is
// gathered until its line is complete, and only whole lines are written, one at a time, so lines
// of different devices never mix.
//
// Which device printed is told by the thread: inside an engine call by the runner under way
// (EngineRunner::current()), elsewhere by a DeviceScope. Text from no device passes unchanged.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/console.h"
#include "host/run/engine_runner.h"

namespace host {

class TaggedConsole {
  public:
    using Sink = std::function<void(std::string_view text)>;

    // One tag per device, by index; out receives whole tagged lines (and untagged text).
    TaggedConsole(std::vector<std::string> tags, Sink out);
    // A station's console: devices are added as boards appear, while others print.
    explicit TaggedConsole(Sink out) : TaggedConsole({}, std::move(out)) {}
    ~TaggedConsole();  // uninstalls
    TaggedConsole(const TaggedConsole &) = delete;
    TaggedConsole &operator=(const TaggedConsole &) = delete;

    // Device `device` prints through `runner`'s engine calls.
    void attach(const EngineRunner *runner, size_t device);
    // A new device with its tag; returns its index. With `own`, the device's whole lines go
    // there, untagged, instead of to the console's output.
    size_t add(const std::string &tag, Sink own = nullptr);
    // The runner's run is over: its unfinished line is written out and it is forgotten (another
    // runner may later live at its address).
    void detach(const EngineRunner *runner);

    // Routes the console through this object; uninstall() writes out unfinished lines (ended)
    // and restores the sink it replaced.
    void install();
    void uninstall();

    void write(std::string_view text);

    // Marks this thread as printing for one device while it lives (threads that print outside
    // engine calls: the writer threads, the main thread before the run).
    class DeviceScope {
      public:
        explicit DeviceScope(size_t device);
        ~DeviceScope();
        DeviceScope(const DeviceScope &) = delete;
        DeviceScope &operator=(const DeviceScope &) = delete;

      private:
        long previous_;
    };

  private:
    // The printing device's index, or -1.
    long device_of_this_thread_locked() const;
    void flush_locked(size_t device);

    // A line that never ends is written out at this length rather than held without bound.
    static constexpr size_t kLongestLine = 4096;

    const Sink out_;
    std::mutex mutex_;
    std::vector<std::string> tags_;
    std::vector<std::pair<const EngineRunner *, size_t>> runners_;
    std::vector<std::string> pending_;      // each device's unfinished line
    std::vector<Sink> own_;                 // each device's own output, or none
    std::optional<ConsoleSinkScope> sink_;  // while installed
};

}  // namespace host
