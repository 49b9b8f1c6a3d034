#include "host/library/device_run.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "host/discovery/device_finder.h"
#include "host/events/exit_status.h"
#include "host/hid/hid_catalog.h"
#include "host/library/library_console.h"
#include "host/library/run_records.h"
#include "host/library/update_steps.h"
#include "host/platform/env.h"
#include "host/platform/error_lines.h"
#include "host/update/update_run.h"

namespace host {

namespace {

constexpr int kInterruptedStatus = 130;  // as a Ctrl-C ends the tool
constexpr auto kPumpPeriod = std::chrono::milliseconds(100);

// What the run's threads hand to the caller's thread: lines in order, and the latest progress.
class CallerQueue {
  public:
    void line(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text);
        ready_.notify_all();
    }
    void progress(const char *phase, uint64_t done, uint64_t total) {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = phase;
        done_ = done;
        total_ = total;
        progress_changed_ = true;
        ready_.notify_all();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        ready_.notify_all();
    }
    // Delivers what came within a pump period; false once the run finished and all is out.
    bool deliver(const DeviceRunRequest &r) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, kPumpPeriod,
                        [this] { return finished_ || progress_changed_ || !lines_.empty(); });
        std::deque<std::string> lines;
        lines.swap(lines_);
        const bool progress = std::exchange(progress_changed_, false);
        const char *phase = phase_;
        const uint64_t done = done_;
        const uint64_t total = total_;
        const bool finished = finished_;
        lock.unlock();
        for (const std::string &text : lines) {
            if (r.on_line) {
                r.on_line(text);
            }
        }
        if (progress && r.on_progress) {
            r.on_progress(phase, done, total);
        }
        return !(finished && lines.empty() && !progress);
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    const char *phase_ = "unlock";
    uint64_t done_ = 0;
    uint64_t total_ = 0;
    bool progress_changed_ = false;
    bool finished_ = false;
};

// The device's events as progress in the current range (the image, then the TTS data).
class RangeProgress : public RunEvents {
  public:
    RangeProgress(CallerQueue &queue, const Layout &layout) : queue_(queue), layout_(layout) {}
    void phase(const char *phase, const char *file) override {
        phase_ = phase;
        tts_ = std::string(file) == "TTS";
    }
    void progress(uint64_t done, uint64_t /*total*/) override {
        const uint64_t image = layout_.image_program;
        if (tts_) {
            queue_.progress(phase_, done > image ? done - image : 0, layout_.tts_rounded);
        } else {
            queue_.progress(phase_, done < image ? done : image, image);
        }
    }

  private:
    CallerQueue &queue_;
    const Layout &layout_;
    const char *phase_ = "unlock";
    bool tts_ = false;
};

// The report of a run cancelled before anything was sent.
RunReport interrupted_before_start() {
    RunReport report = refusal_report(Status::Interrupted, kInterruptedStatus,
                                      "interrupted before the update started");
    report.cause = Cause::Interrupted;
    return report;
}

// The simulated device the request names, claimed before its catalog is made so that its flash
// is the one the run before it left.
base::Result<std::string> simulated_serial(const DeviceRunRequest &r) {
    if (!r.serial.empty()) {
        return r.serial;
    }
    if (!r.path.empty()) {
        const std::string prefix = "sim:";
        if (r.path.rfind(prefix, 0) == 0) {
            const std::string number = r.path.substr(prefix.size());
            if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
                number.size() < 3) {
                return sim_serial(std::stoi(number));
            }
        }
        return base::Error(base::ErrorCode::NotFound,
                           "no simulated device has the path '" + r.path + "'");
    }
    return sim_serial(1);
}

// Everything of the run that happens off the caller's thread.
void run_on_worker(const DeviceRunRequest &r, DeviceCatalog &catalog, CallerQueue &queue,
                   const std::atomic<bool> &cancelled, DeviceRunResult &out) {
    std::string said;
    const ErrorLinesScope collect([&said](std::string_view text) { said.append(text); });
    const QuietConsoleScope quiet;
    DeviceQuery query;
    if (r.vendor_id != 0 || r.product_id != 0) {
        query.vendor_id = r.vendor_id;
        query.product_id = r.product_id;
    } else if (r.inputs->vendor_id != 0 || r.inputs->product_id != 0) {
        query.vendor_id = r.inputs->vendor_id;
        query.product_id = r.inputs->product_id;
    }
    if (!r.serial.empty()) {
        query.serials.push_back(r.serial);
    } else if (!r.path.empty()) {
        query.paths.push_back(r.path);
    }
    const auto interrupted = [&cancelled] { return cancelled.load(); };
    OpenedDevices opened = find_and_open(catalog, query, r.wait, interrupted);
    if (opened.devices.empty()) {
        if (cancelled) {
            out.report = interrupted_before_start();
            return;
        }
        out.refusal =
            opened.status == kExitPermission ? RunRefusal::Permission : RunRefusal::NoDevice;
        out.message = error_lines_as_message(said);
        return;
    }
    // A record that cannot be kept refuses the run before the device is touched, as in the tool.
    RunRecords records;
    if (!r.record.empty()) {
        if (!records.open({r.record, "", "", false, {}})) {
            out.refusal = RunRefusal::Input;
            out.message = error_lines_as_message(said);
            return;
        }
    }
    OpenedDevice &device = opened.devices.front();
    out.device = device.info;
    RangeProgress progress(queue, r.inputs->inputs.layout);
    UpdateDevice update{device.transport.get(), device.info, &progress};
    update.tag = device.info.serial.empty() ? device.info.path : device.info.serial;
    update.lines = [&queue](std::string_view text) { queue.line(text); };
    UpdateSettings settings;
    settings.skip_unchanged = r.skip_unchanged;
    settings.skip_blank = r.skip_blank;
    settings.verify = r.verify;
    settings.expected_product = r.inputs->product;
    settings.interrupt_status = [&cancelled] { return cancelled ? kInterruptedStatus : 0; };
    settings.out = [](std::string_view) {};
    settings.err = [](std::string_view) {};
    settings.own_records = true;
    settings.shared_console = &library_console();
    if (r.simulator != nullptr) {
        settings.link = r.simulator->setup().link;
    }
    if (records.enabled()) {
        // As in the tool: a package older than what the board's records say it had is refused.
        keep_records(records, settings, HIDIAP_LIBRARY_VERSION, r.inputs->token, r.inputs->inputs,
                     r.inputs->package ? &*r.inputs->package : nullptr, false);
    }
    const std::optional<std::vector<DeviceResult>> results =
        update_opened({update}, r.inputs->inputs, r.inputs->token, settings,
                      [&cancelled] { return cancelled.load(); });
    if (!results) {
        out.report = interrupted_before_start();
        return;
    }
    out.report = results->front().report;
    records.finish();
}

}  // namespace

DeviceRunResult run_device(const DeviceRunRequest &r) {
    DeviceRunResult out;
    std::string claimed;
    std::unique_ptr<DeviceCatalog> catalog;
    SimCatalog *sim_catalog = nullptr;
    if (r.simulator != nullptr) {
        base::Result<std::string> serial = simulated_serial(r);
        if (!serial.ok()) {
            out.refusal = RunRefusal::NoDevice;
            out.message = serial.message();
            return out;
        }
        if (base::Result<std::string> known = r.simulator->flash(*serial); !known.ok()) {
            out.refusal = RunRefusal::NoDevice;
            out.message = known.message();
            return out;
        }
        if (base::Status free = r.simulator->claim(*serial); !free.ok()) {
            out.refusal = RunRefusal::Busy;
            out.message = free.message();
            return out;
        }
        claimed = *serial;
        std::unique_ptr<SimCatalog> made = r.simulator->catalog();
        sim_catalog = made.get();
        catalog = std::move(made);
    } else {
        catalog = std::make_unique<HidCatalog>();
    }
    base::Result<std::unique_ptr<InputsLease>> lease = InputsLease::take(r.inputs);
    if (!lease.ok()) {
        out.refusal = RunRefusal::InputsInUse;
        out.message = lease.message();
    } else {
        std::atomic<bool> cancelled{r.cancelled != nullptr && r.cancelled->load()};
        CallerQueue queue;
        const auto body = [&] {
            run_on_worker(r, *catalog, queue, cancelled, out);
            queue.finish();
        };
        base::Result<Thread> worker = Thread::start(body);
        if (!worker.ok()) {
            out.refusal = RunRefusal::Internal;
            out.message = "the update could not start: " + worker.message();
        } else {
            while (queue.deliver(r)) {
                if ((r.cancelled != nullptr && r.cancelled->load()) ||
                    (r.should_cancel && r.should_cancel())) {
                    cancelled = true;
                }
            }
            worker->join();
        }
    }
    if (sim_catalog != nullptr) {
        r.simulator->release(claimed, *sim_catalog);
    }
    return out;
}

}  // namespace host
