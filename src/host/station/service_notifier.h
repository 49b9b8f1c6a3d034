// The station as a service: tells the service manager that it is ready once it watches for
// boards, its totals as its status, that it is alive at the watchdog's pace while its loop turns,
// and that it is stopping. A station whose loop stops turning sends no more pings, and the
// manager restarts it. Nothing is sent where no manager started the tool.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "host/platform/env.h"
#include "host/station/station_observer.h"

namespace host {

class ServiceNotifier : public StationObserver {
  public:
    // `name`: the station's name in its status line.
    explicit ServiceNotifier(std::string name);

    void watching(const StationTotals &totals) override;
    void turn(const StationTotals &totals, unsigned in_progress) override;
    void stopping(unsigned in_progress) override;

  private:
    std::string status_line(const StationTotals &totals, unsigned in_progress) const;

    const std::string name_;
    const std::chrono::microseconds watchdog_;  // zero: no watchdog
    std::mutex mutex_;
    bool ready_ = false;  // nothing before READY=1
    SteadyTime last_ping_{};
    std::string last_status_;
};

// The status line a station service shows (systemctl status): its totals and boards in progress.
std::string service_status_line(const std::string &name, const StationTotals &totals,
                                unsigned in_progress);

}  // namespace host
