#include "host/station/station_status.h"

#include <algorithm>

#include "base/text.h"

namespace host {

namespace {
constexpr size_t kResultsShown = 5;
constexpr int kBarWidth = 10;
}  // namespace

void StationTotals::add(Status status) {
    switch (status) {
        case Status::Success:
            updated++;
            break;
        case Status::Current:
            current++;
            break;
        case Status::Interrupted:
            interrupted++;
            break;
        default:
            failed++;
            break;
    }
}

double boards_per_hour(unsigned updated, double seconds) {
    return updated == 0 || seconds <= 0 ? 0 : updated * 3600.0 / seconds;
}

StationStatus::StationStatus(Sink out, Sink err, bool drawn, int columns)
    : started_(env().now()),
      block_(std::move(out), std::move(err), columns,
             drawn ? StatusBlock::Lines([this](SteadyTime now) { return render(now); })
                   : StatusBlock::Lines()) {}

void StationStatus::show() {
    block_.update([] { return StatusBlock::Redraw::Now; });
}

void StationStatus::set_slots(const std::vector<std::string> &names) {
    block_.update([&] {
        slots_ = names;
        return StatusBlock::Redraw::Now;
    });
}

void StationStatus::board_started(const std::string &tag) {
    block_.update([&] {
        boards_[tag] = BoardLine{ProgressView{}, env().now()};
        return StatusBlock::Redraw::Now;
    });
}

void StationStatus::board_phase(const std::string &tag, const char *phase, const char *file) {
    block_.update([&] {
        ProgressView &v = boards_[tag].view;
        v.phase = phase;
        v.file = file;
        return StatusBlock::Redraw::Soon;
    });
}

void StationStatus::board_progress(const std::string &tag, uint64_t done, uint64_t total) {
    block_.update([&] {
        ProgressView &v = boards_[tag].view;
        v.done = done;
        v.total = total;
        return StatusBlock::Redraw::Soon;
    });
}

void StationStatus::board_ended(const std::string &tag, const std::string &result,
                                const StationTotals &totals, const std::string &verdict) {
    block_.update([&] {
        boards_.erase(tag);
        totals_ = totals;
        if (!verdict.empty()) {
            slot_results_[tag] = base::format("%-11s %s", verdict.c_str(), result.c_str());
        }
        results_.push_back("[" + tag + "] " + result);
        while (results_.size() > kResultsShown) {
            results_.pop_front();
        }
        return StatusBlock::Redraw::Now;
    });
}

void StationStatus::records_waiting(unsigned count) {
    block_.update([&] {
        if (count == records_waiting_) {
            return StatusBlock::Redraw::No;
        }
        records_waiting_ = count;
        return StatusBlock::Redraw::Now;
    });
}

std::vector<std::string> StationStatus::render(SteadyTime now) const {
    const double seconds = std::chrono::duration<double>(now - started_).count();
    std::vector<std::string> lines;
    lines.push_back(base::format(
        "station: %u updated, %u current, %u failed%s%s, %zu in progress, %.0f boards/h",
        totals_.updated, totals_.current, totals_.failed,
        totals_.interrupted == 0 ? ""
                                 : base::format(", %u interrupted", totals_.interrupted).c_str(),
        totals_.hooks_failed == 0
            ? ""
            : base::format(", %u RESULT HOOKS FAILED", totals_.hooks_failed).c_str(),
        boards_.size(), boards_per_hour(totals_.updated, seconds)));
    if (records_waiting_ != 0) {
        lines.push_back("records: " + std::to_string(records_waiting_) +
                        " waiting for the database");
    }
    if (!slots_.empty()) {
        size_t width = 4;
        for (const std::string &s : slots_) {
            width = std::max(width, s.size());
        }
        for (const std::string &slot : slots_) {
            std::string row = "empty";
            const auto busy = boards_.find(slot);
            if (busy != boards_.end()) {
                ProgressView v = busy->second.view;
                v.elapsed = std::chrono::duration<double>(now - busy->second.started).count();
                row = *v.phase == '\0' ? std::string("starting") : render_progress(v, kBarWidth);
            } else if (const auto ended = slot_results_.find(slot); ended != slot_results_.end()) {
                row = ended->second;
            }
            lines.push_back(
                base::format("%-*s  %s", static_cast<int>(width), slot.c_str(), row.c_str()));
        }
        return lines;
    }
    for (const auto &[tag, board] : boards_) {
        ProgressView v = board.view;
        v.elapsed = std::chrono::duration<double>(now - board.started).count();
        lines.push_back(
            "[" + tag + "] " +
            (*v.phase == '\0' ? std::string("starting") : render_progress(v, kBarWidth)));
    }
    lines.insert(lines.end(), results_.begin(), results_.end());
    return lines;
}

}  // namespace host
