#include "device_fleet.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "console.h"
#include "engine_hooks.h"
#include "engine_runner.h"
#include "exit_status.h"
#include "host_buffers.h"
#include "multi_progress.h"
#include "observed_transport.h"
#include "queued_transport.h"
#include "run_observer.h"
#include "run_report.h"
#include "tagged_console.h"
#include "wide_text.h"
#include "workers.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Hands a device's events to its presenter and to its progress line.
class DeviceEvents : public RunEvents {
  public:
    DeviceEvents(RunEvents *presenter, MultiProgressDisplay *display, size_t line)
        : presenter_(presenter), display_(display), line_(line) {}

    void device(const DeviceDescription &d) override { presenter_->device(d); }
    void plan(const UpdatePlan &p) override { presenter_->plan(p); }
    void phase(const char *phase, const char *file) override {
        presenter_->phase(phase, file);
        if (display_ != nullptr) {
            display_->phase(line_, phase, file);
        }
    }
    void erase(uint32_t addr) override { presenter_->erase(addr); }
    void progress(uint64_t done, uint64_t total) override {
        presenter_->progress(done, total);
        if (display_ != nullptr) {
            display_->progress(line_, done, total);
        }
    }
    void check(const RangeCheck &c) override { presenter_->check(c); }
    void device_error(uint8_t command, uint8_t code) override {
        presenter_->device_error(command, code);
    }
    void resend(const char *step, uint32_t addr, unsigned count) override {
        presenter_->resend(step, addr, count);
    }
    void outcome(const RunReport &r) override { presenter_->outcome(r); }

  private:
    RunEvents *presenter_;
    MultiProgressDisplay *display_;
    size_t line_;
};

// One device's update: its record, the layers its reports pass (queue, observer, device), its
// runner and what it ended with.
struct DeviceRun {
    iap_env_t *record = nullptr;
    std::unique_ptr<DeviceEvents> events;
    std::unique_ptr<RunObserver> observer;
    std::unique_ptr<ObservedTransport> observed;
    std::unique_ptr<QueuedTransport> queued;
    std::unique_ptr<EngineRunner> runner;
    Clock::time_point started;
    Outcome outcome = Outcome::NoEvent;  // set by its waiter
    Clock::time_point ended;
};

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string format(const char *fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// The tool's outcome line with the device's tag after "hidiap: ".
std::string tagged_outcome_line(const std::string &tag, const RunReport &report) {
    const std::string line = outcome_line(report);
    const std::string head = "hidiap: ";
    const size_t skip = line.compare(0, head.size(), head) == 0 ? head.size() : 0;
    return head + "[" + tag + "] " + line.substr(skip);
}

}  // namespace

std::vector<std::string> device_tags(const std::vector<FleetDevice> &devices) {
    std::map<std::string, int> uses;
    for (const FleetDevice &d : devices) {
        uses[d.description.serial]++;
    }
    std::vector<std::string> tags;
    for (size_t i = 0; i < devices.size(); i++) {
        const DeviceDescription &d = devices[i].description;
        if (!d.serial.empty() && uses[d.serial] == 1) {
            tags.push_back(d.serial);
        } else {
            tags.push_back(std::to_string(i + 1) + ":" + d.path);
        }
    }
    return tags;
}

std::vector<DeviceResult> update_fleet(const std::vector<FleetDevice> &devices,
                                       const Layout &layout, const FleetSettings &settings) {
    const size_t n = devices.size();
    is_1mb = layout.is_1mb ? 1 : 0;
    tts_size = static_cast<int>(layout.tts_rounded);
    const uint64_t total_bytes = uint64_t{layout.image_program} + layout.tts_rounded;

    const std::vector<std::string> tags = device_tags(devices);
    const TaggedConsole::Sink out =
        settings.out ? settings.out : TaggedConsole::Sink(console_stdout_sink);
    const TaggedConsole::Sink err = settings.err ? settings.err : TaggedConsole::Sink(write_stderr);
    std::unique_ptr<MultiProgressDisplay> display;
    if (settings.show_progress && !settings.json) {
        display = std::make_unique<MultiProgressDisplay>(tags, out, err, settings.columns);
    }
    MultiProgressDisplay *shown = display.get();
    TaggedConsole console(tags, shown != nullptr ? TaggedConsole::Sink([shown](std::string_view t) {
                              shown->write_above(t);
                          })
                                                 : out);
    const auto note = [shown, &err](const std::string &text) {
        if (shown != nullptr) {
            shown->note(text);
        } else {
            err(text);
        }
    };
    const auto interrupted = [&settings] {
        return settings.interrupt_status && settings.interrupt_status() != 0;
    };

    // The first device keeps the tool's own record; the others get theirs here.
    RunEvents quiet;
    std::vector<iap_env_t> more_records(n > 0 ? n - 1 : 0);
    std::vector<std::unique_ptr<DeviceRun>> runs;
    std::vector<Workers::Device> workers_devices;
    for (size_t i = 0; i < n; i++) {
        auto run = std::make_unique<DeviceRun>();
        DeviceRun *r = run.get();
        r->record = i == 0 ? &iap : &more_records[i - 1];
        *r->record = iap_env_t{};
        r->record->update_file_num = 2;
        iap_init(r->record, iap_cmd_tx, iap_evnet_callback);
        r->record->local_img_buf = img_file;
        r->record->local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
        r->events = std::make_unique<DeviceEvents>(
            devices[i].events != nullptr ? devices[i].events : &quiet, shown, i);
        r->observer = std::make_unique<RunObserver>(*r->events, total_bytes);
        r->observed = std::make_unique<ObservedTransport>(*devices[i].transport, *r->observer);
        r->queued =
            std::make_unique<QueuedTransport>(*r->observed, [i](const uint8_t *report, size_t len) {
                const TaggedConsole::DeviceScope scope(i);
                dump_hex(report, static_cast<int>(len), 16);
            });
        r->runner = std::make_unique<EngineRunner>(*r->queued, *r->record);
        r->runner->set_observer([r](const iap_env_t &record) { r->observer->on_record(record); });
        console.attach(r->runner.get(), i);
        workers_devices.push_back({r->runner.get(), r->queued.get()});
        runs.push_back(std::move(run));
    }

    if (!settings.json) {
        console.install();
    }
    for (size_t i = 0; i < n; i++) {
        DeviceDescription d = devices[i].description;
        std::wstring product;
        if (devices[i].transport->product_string(product)) {
            d.product = to_utf8(product);
            const TaggedConsole::DeviceScope scope(i);
            console_printf("Product String     : %s\n", d.product.c_str());
        }
        runs[i]->events->device(d);
        if (settings.plan != nullptr) {
            runs[i]->events->plan(*settings.plan);
        }
    }

    Workers workers(workers_devices, settings.tick_period);
    for (auto &run : runs) {
        run->queued->start();
    }
    workers.start();
    for (auto &run : runs) {
        run->started = Clock::now();
        run->runner->start(kImageStart, layout.image_program, kImageStart);
    }

    // One waiter per device, so that every stall limit runs from the start together and a
    // device that hangs holds back no other device's report.
    std::mutex finished_mutex;
    std::condition_variable finished_cv;
    std::vector<size_t> finished;  // device indexes in the order their outcomes came
    std::vector<std::thread> waiters;
    for (size_t i = 0; i < n; i++) {
        waiters.emplace_back([&, i] {
            DeviceRun &run = *runs[i];
            const Outcome outcome = run.runner->wait_for_outcome(settings.stall_limit, interrupted);
            std::lock_guard<std::mutex> lock(finished_mutex);
            run.outcome = outcome;
            run.ended = Clock::now();
            finished.push_back(i);
            finished_cv.notify_one();
        });
    }

    std::vector<DeviceResult> results(n);
    {
        std::unique_lock<std::mutex> lock(finished_mutex);
        size_t reported = 0;
        while (reported < n) {
            finished_cv.wait_for(lock, std::chrono::seconds(1),
                                 [&] { return finished.size() > reported; });
            while (reported < finished.size()) {
                const size_t i = finished[reported++];
                DeviceRun &run = *runs[i];
                const double seconds =
                    std::chrono::duration<double>(run.ended - run.started).count();
                const int interrupt =
                    run.outcome == Outcome::Interrupted && settings.interrupt_status
                        ? settings.interrupt_status()
                        : 0;
                lock.unlock();
                DeviceResult &r = results[i];
                r.tag = tags[i];
                r.report = make_run_report(run.observer->facts(), run.outcome, interrupt, seconds);
                if (run.outcome == Outcome::Stalled) {
                    note("hidiap: [" + r.tag + "] the update made no progress for " +
                         std::to_string(settings.stall_limit.count() / 1000) + " s; giving up\n");
                }
                if (shown != nullptr) {
                    shown->finish(i, r.succeeded() ? "success" : "FAILED: " + r.report.reason);
                }
                note(tagged_outcome_line(r.tag, r.report));
                run.events->outcome(r.report);
                lock.lock();
            }
        }
    }
    for (std::thread &waiter : waiters) {
        waiter.join();
    }
    workers.stop();
    for (auto &run : runs) {
        run->queued->stop();
    }
    console.uninstall();
    if (shown != nullptr) {
        shown->close();
    }
    return results;
}

void print_fleet_summary(std::FILE *to, const std::vector<DeviceResult> &results) {
    size_t tag_width = 6;
    for (const DeviceResult &r : results) {
        tag_width = std::max(tag_width, r.tag.size());
    }
    const int w = static_cast<int>(tag_width);
    std::fprintf(to, "%-*s  %-11s  %10s  %8s  %12s  %s\n", w, "DEVICE", "OUTCOME", "BYTES", "TIME",
                 "THROUGHPUT", "REASON");
    std::vector<std::string> failed;
    for (const DeviceResult &r : results) {
        const RunReport &p = r.report;
        const double rate = p.seconds > 0 ? static_cast<double>(p.bytes) / 1024.0 / p.seconds : 0;
        std::fprintf(to, "%-*s  %-11s  %10llu  %6.2f s  %12s  %s\n", w, r.tag.c_str(), p.status,
                     static_cast<unsigned long long>(p.bytes), p.seconds,
                     format("%.1f KiB/s", rate).c_str(), r.succeeded() ? "-" : p.reason.c_str());
        if (!r.succeeded()) {
            failed.push_back(r.tag);
        }
    }
    if (failed.empty()) {
        std::fprintf(to, "hidiap: all %zu devices updated and verified\n", results.size());
    } else {
        std::string names;
        for (const std::string &tag : failed) {
            names += (names.empty() ? "" : ", ") + tag;
        }
        std::fprintf(to, "hidiap: %zu of %zu devices failed: %s\n", failed.size(), results.size(),
                     names.c_str());
    }
    std::fflush(to);
}

int fleet_exit_status(const std::vector<DeviceResult> &results) {
    int status = kExitSuccess;
    for (const DeviceResult &r : results) {
        if (std::string(r.report.status) == "interrupted") {
            return r.report.exit_status;
        }
        if (!r.succeeded()) {
            status = kExitFailed;
        }
    }
    return status;
}

}  // namespace host
