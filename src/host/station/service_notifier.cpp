#include "host/station/service_notifier.h"

#include "base/text.h"

namespace host {

std::string service_status_line(const std::string &name, const StationTotals &t,
                                unsigned in_progress) {
    return base::format("station %s: %u updated, %u current, %u failed, %u in progress",
                        name.c_str(), t.updated, t.current, t.failed, in_progress);
}

ServiceNotifier::ServiceNotifier(std::string name)
    : name_(std::move(name)), watchdog_(env().service_watchdog_interval()) {}

std::string ServiceNotifier::status_line(const StationTotals &totals, unsigned in_progress) const {
    return service_status_line(name_, totals, in_progress);
}

void ServiceNotifier::watching(const StationTotals &totals) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = true;
    last_status_ = status_line(totals, 0);
    last_ping_ = env().now();
    env().notify_service("READY=1\nSTATUS=" + last_status_ +
                         (watchdog_.count() > 0 ? "\nWATCHDOG=1" : ""));
}

void ServiceNotifier::turn(const StationTotals &totals, unsigned in_progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready_) {
        return;
    }
    std::string state;
    const std::string status = status_line(totals, in_progress);
    if (status != last_status_) {
        last_status_ = status;
        state = "STATUS=" + status;
    }
    // Twice per interval, so that one late turn never lets the watchdog run out.
    const SteadyTime now = env().now();
    if (watchdog_.count() > 0 && now - last_ping_ >= watchdog_ / 2) {
        last_ping_ = now;
        state += std::string(state.empty() ? "" : "\n") + "WATCHDOG=1";
    }
    if (!state.empty()) {
        env().notify_service(state);
    }
}

void ServiceNotifier::stopping(unsigned in_progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    env().notify_service(base::format("STOPPING=1\nSTATUS=station %s: stopping, %u in progress",
                                      name_.c_str(), in_progress));
}

}  // namespace host
