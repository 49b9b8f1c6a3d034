#include "host/status/status_board.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/text.h"

namespace host {

namespace {
constexpr size_t kLastResults = 12;

// A label's value as the text format wants it: backslash, quote and newline escaped.
std::string label_value(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}
}  // namespace

void StatusBoard::unit_values_left(const std::string &field, uint64_t left) {
    std::lock_guard<std::mutex> lock(mutex_);
    unit_values_left_[field] = left;
}

void StatusBoard::job(uint64_t allowed, uint64_t done) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = true;
    job_allowed_ = allowed;
    job_done_ = done;
}

void StatusBoard::set_slots(std::vector<Slot> slots) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_ = std::move(slots);
}

const std::vector<double> &StatusBoard::buckets() {
    static const std::vector<double> b = {1, 2, 5, 10, 20, 30, 60, 120, 300};
    return b;
}

StatusBoard::StatusBoard(std::string station, std::function<unsigned()> records_waiting)
    : station_(std::move(station)),
      records_waiting_(std::move(records_waiting)),
      started_wall_(env().wall_now()),
      started_(env().now()),
      bucket_counts_(buckets().size(), 0) {
    for (Status s : {Status::Success, Status::Current, Status::Failed, Status::Interrupted}) {
        outcomes_[status_words(s).record] = 0;
    }
}

void StatusBoard::turn(const StationTotals &totals, unsigned) {
    // Asked here, on the station's thread, not by a page's request: the records' count takes
    // the records' lock, which a page must never wait for.
    const unsigned waiting = records_waiting_ ? records_waiting_() : 0;
    std::lock_guard<std::mutex> lock(mutex_);
    totals_ = totals;
    records_waiting_now_ = waiting;
}

void StatusBoard::board_started(const std::string &tag, const DeviceInfo &info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Board &b = boards_[tag];
    b.serial = info.serial;
    b.port = info.port;
}

void StatusBoard::board_phase(const std::string &tag, const char *phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = boards_.find(tag);
    if (it != boards_.end() && phase != nullptr) {
        it->second.phase = phase;
    }
}

void StatusBoard::board_progress(const std::string &tag, uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = boards_.find(tag);
    if (it != boards_.end() && total != 0) {
        it->second.percent = 100.0 * static_cast<double>(done) / static_cast<double>(total);
    }
}

void StatusBoard::board_ended(const std::string &tag, bool counted, Status status,
                              const std::string &result, double seconds,
                              const StationTotals &totals) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.erase(tag);
    totals_ = totals;
    if (!counted) {
        return;
    }
    const std::string outcome = status_words(status).record;
    outcomes_[outcome]++;
    last_.push_front({tag, outcome, result, seconds});
    if (last_.size() > kLastResults) {
        last_.pop_back();
    }
    updates_++;
    update_seconds_ += seconds;
    for (size_t i = 0; i < buckets().size(); ++i) {
        bucket_counts_[i] += seconds <= buckets()[i] ? 1 : 0;
    }
}

std::string StatusBoard::status_json() {
    std::lock_guard<std::mutex> lock(mutex_);
    const double seconds = std::chrono::duration<double>(env().now() - started_).count();
    nlohmann::json boards = nlohmann::json::array();
    const auto entry = [](const nlohmann::json &slot, const std::string &tag, const Board &b) {
        return nlohmann::json{{"slot", slot},       {"tag", tag},
                              {"serial", b.serial}, {"port", b.port},
                              {"phase", b.phase},   {"percent", static_cast<int>(b.percent)}};
    };
    // With a slot map every slot has its entry, in the map's order, and a board is in the slot
    // its tag names; without one the boards in progress are listed, with no slot.
    for (const Slot &s : slots_) {
        const auto it = boards_.find(s.name);
        Board empty;
        empty.port = s.port;
        empty.phase = "empty";
        boards.push_back(entry(s.name, it == boards_.end() ? "" : s.name,
                               it == boards_.end() ? empty : it->second));
    }
    for (const auto &[tag, b] : boards_) {
        const bool in_a_slot = std::any_of(slots_.begin(), slots_.end(),
                                           [&tag = tag](const Slot &s) { return s.name == tag; });
        if (!in_a_slot) {
            boards.push_back(entry(nullptr, tag, b));
        }
    }
    nlohmann::json last = nlohmann::json::array();
    for (const Result &r : last_) {
        last.push_back(
            {{"tag", r.tag}, {"outcome", r.outcome}, {"result", r.result}, {"seconds", r.seconds}});
    }
    const nlohmann::json status = {
        {"station", station_},
        {"totals",
         {{"updated", totals_.updated},
          {"current", totals_.current},
          {"failed", totals_.failed},
          {"interrupted", totals_.interrupted}}},
        {"boards_per_hour", boards_per_hour(totals_.updated, seconds)},
        {"boards", boards},
        {"last_results", last},
        {"records_waiting", records_waiting_now_},
        {"job", job_ ? nlohmann::json{{"allowed", job_allowed_}, {"done", job_done_}}
                     : nlohmann::json(nullptr)},
    };
    return status.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string StatusBoard::metrics_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    const auto family = [&out](const char *name, const char *type, const char *help) {
        out += base::format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    };
    family("hidiap_boards_total", "counter",
           "Boards the station ended, by their records' outcome.");
    for (const auto &[outcome, n] : outcomes_) {
        out += base::format("hidiap_boards_total{outcome=\"%s\"} %llu\n", outcome.c_str(),
                            static_cast<unsigned long long>(n));
    }
    family("hidiap_update_seconds", "histogram",
           "How long each board took, from its first sight to its end.");
    for (size_t i = 0; i < buckets().size(); ++i) {
        out += base::format("hidiap_update_seconds_bucket{le=\"%g\"} %llu\n", buckets()[i],
                            static_cast<unsigned long long>(bucket_counts_[i]));
    }
    out += base::format("hidiap_update_seconds_bucket{le=\"+Inf\"} %llu\n",
                        static_cast<unsigned long long>(updates_));
    out += base::format("hidiap_update_seconds_sum %.6f\n", update_seconds_);
    out += base::format("hidiap_update_seconds_count %llu\n",
                        static_cast<unsigned long long>(updates_));
    family("hidiap_records_waiting", "gauge", "Records waiting for the database.");
    out += base::format("hidiap_records_waiting %u\n", records_waiting_now_);
    family("hidiap_boards_in_progress", "gauge", "Boards being handled now.");
    out += base::format("hidiap_boards_in_progress %zu\n", boards_.size());
    // One sample per unit field with a range; none while the station has none.
    family("hidiap_unit_values_left", "gauge", "Values left in each unit field's range.");
    for (const auto &[field, left] : unit_values_left_) {
        out += base::format("hidiap_unit_values_left{field=\"%s\"} %llu\n",
                            label_value(field).c_str(), static_cast<unsigned long long>(left));
    }
    if (job_) {
        family("hidiap_job_boards_allowed", "gauge", "Successful boards the job allows.");
        out += base::format("hidiap_job_boards_allowed %llu\n",
                            static_cast<unsigned long long>(job_allowed_));
        family("hidiap_job_boards_done", "gauge", "Successful boards of the job so far.");
        out += base::format("hidiap_job_boards_done %llu\n",
                            static_cast<unsigned long long>(job_done_));
    }
    family("hidiap_station_start_time_seconds", "gauge",
           "When the station started, in seconds since the epoch.");
    out += base::format("hidiap_station_start_time_seconds %.3f\n",
                        std::chrono::duration<double>(started_wall_.time_since_epoch()).count());
    return out;
}

}  // namespace host
