// What a station tells those who watch it from outside the terminal (the service manager, the
// status page): its loop's turns, the boards' ways through it and its end. Called from the
// station's main thread and from the boards' threads alike; an observer keeps its own lock and
// never blocks for long, since the station waits for it.
#pragma once

#include <cstdint>
#include <string>

#include "host/events/outcome.h"
#include "host/link/device_catalog.h"
#include "host/station/station_status.h"

namespace host {

class StationObserver {
  public:
    virtual ~StationObserver() = default;

    // The catalog was asked once: the station watches for boards from now on.
    virtual void watching(const StationTotals &totals) { (void)totals; }
    // One turn of the station's loop, at least once per poll period while it is healthy.
    virtual void turn(const StationTotals &totals, unsigned in_progress) {
        (void)totals;
        (void)in_progress;
    }
    // No new boards from now on; those in progress finish.
    virtual void stopping(unsigned in_progress) { (void)in_progress; }

    virtual void board_started(const std::string &tag, const DeviceInfo &info) {
        (void)tag;
        (void)info;
    }
    virtual void board_phase(const std::string &tag, const char *phase) {
        (void)tag;
        (void)phase;
    }
    virtual void board_progress(const std::string &tag, uint64_t done, uint64_t total) {
        (void)tag;
        (void)done;
        (void)total;
    }
    // The board's run is over: `status` is how it ended (counted in `totals`), `seconds` how
    // long the board took from its first sight. counted=false: not a result of its own (a board
    // back after its reboot, one the station could not handle).
    virtual void board_ended(const std::string &tag, bool counted, Status status,
                             const std::string &result, double seconds,
                             const StationTotals &totals) {
        (void)tag;
        (void)counted;
        (void)status;
        (void)result;
        (void)seconds;
        (void)totals;
    }
};

}  // namespace host
