// What a station's status page and metrics show, kept as the station tells it (a StationObserver)
// and read by the page's threads under the board's own lock: the totals and pace, the boards in
// progress, the last results, the records waiting and the update times. Never a secret: boards
// are shown by serial number and port, results by their words.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/platform/env.h"
#include "host/station/slot_map.h"
#include "host/station/station_observer.h"

namespace host {

class StatusBoard : public StationObserver {
  public:
    // records_waiting: how many records wait for the database (empty: none kept).
    StatusBoard(std::string station, std::function<unsigned()> records_waiting);

    void turn(const StationTotals &totals, unsigned in_progress) override;
    void board_started(const std::string &tag, const DeviceInfo &info) override;
    void board_phase(const std::string &tag, const char *phase) override;
    void board_progress(const std::string &tag, uint64_t done, uint64_t total) override;
    void board_ended(const std::string &tag, bool counted, Status status, const std::string &result,
                     double seconds, const StationTotals &totals) override;

    // What the fixture's unit fields and a job add, from whoever keeps them (none yet: the
    // station without them shows no samples and "job": null).
    void unit_values_left(const std::string &field, uint64_t left);
    void job(uint64_t allowed, uint64_t done);
    // The fixture's slots (--slots): /status then has one entry per slot in the map's order, an
    // empty slot's phase "empty". A board's tag is its slot's name.
    void set_slots(std::vector<Slot> slots);

    // GET /status: JSON.
    std::string status_json();
    // GET /metrics: Prometheus' text format.
    std::string metrics_text();

    // The upper bounds of the update-time histogram, in seconds.
    static const std::vector<double> &buckets();

  private:
    struct Board {
        std::string serial;
        std::string port;
        std::string phase = "seen";
        double percent = 0;
    };
    struct Result {
        std::string tag;
        std::string outcome;  // the records' word: success, current, failed, interrupted
        std::string result;   // the station's words for it
        double seconds = 0;
    };

    const std::string station_;
    const std::function<unsigned()> records_waiting_;
    const WallTime started_wall_;
    const SteadyTime started_;
    std::mutex mutex_;
    StationTotals totals_;
    unsigned records_waiting_now_ = 0;
    std::map<std::string, Board> boards_;  // in progress, by tag
    std::deque<Result> last_;              // newest first
    std::map<std::string, uint64_t> outcomes_;
    std::vector<uint64_t> bucket_counts_;  // cumulative counts, as the format has them
    std::map<std::string, uint64_t> unit_values_left_;
    std::vector<Slot> slots_;
    bool job_ = false;
    uint64_t job_allowed_ = 0;
    uint64_t job_done_ = 0;
    uint64_t updates_ = 0;
    double update_seconds_ = 0;
};

}  // namespace host
