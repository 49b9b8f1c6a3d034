// Everything an update of one or several devices is told, in one place: the app fills it from
// the command line; tests and the soak run the same update on a faster clock.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host/events/outcome.h"
#include "host/link/device_catalog.h"
#include "timing/usb_timing.h"

namespace host {

class TaggedConsole;

// Standard error, flushed at once: where the tool's notes go when `err` below is empty.
void write_stderr(std::string_view text);

struct UpdateSettings {
    // The engine's tick. Users always get 10 ms; tests and the soak may run the clock faster.
    std::chrono::microseconds tick_period{std::chrono::milliseconds(10)};
    // No step may stay silent longer than the check's budget (1,004 ticks); a run with no engine
    // activity for this long has lost its tick thread.
    std::chrono::milliseconds stall_limit{30000};
    bool skip_unchanged = false;  // survey each range and program only the sectors that differ
    bool skip_blank = false;      // send no page of nothing but 0xFF into erased flash
    bool verify = false;          // only compare each range with the device's CRC-32; no writes
    bool timing_report = false;   // the update's time and the tick period on standard error
    std::optional<timing::UsbTimingFigures> link;  // the simulated link's timing, for the report
    // JSON mode: the devices' events carry everything and no console line is shown.
    bool json = false;
    bool show_progress = false;  // progress on standard error (a terminal)
    int columns = 0;             // the terminal's width for the progress lines of several devices
    // The product the firmware is for (a package's manifest): a device whose product string
    // differs is not updated. Empty: any product.
    std::string expected_product;
    // Asked of each board once it is identified, before anything that changes its flash (not in
    // a --verify run): why the firmware must not go onto it (the records say it had newer), or
    // nothing. Empty: every board may be updated.
    std::function<std::optional<BoardRefusal>(const DeviceInfo &)> board_check;
    // 0, or the exit status an interruption asks for; asked every 100 ms while devices run.
    std::function<int()> interrupt_status;
    // Where the console lines go (standard output) and the tool's notes go (standard error);
    // empty for those streams.
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
    // Called with each device's report before it is shown: keeps its record (--record) and may
    // turn the report into a failure when the record cannot be kept. False: the report is not the
    // device's result (the station's check before an update) and is neither shown nor sent.
    std::function<bool(const DeviceInfo &, RunReport &)> settle;
    // Added to the outcome line of a device that failed: what to do with it.
    std::string failed_hint;
    // The station's: boards come and go while others run. Each device gets an engine record of
    // its own, and its lines go to this console (null in JSON mode) under its UpdateDevice tag.
    bool own_records = false;
    TaggedConsole *shared_console = nullptr;
};

}  // namespace host
