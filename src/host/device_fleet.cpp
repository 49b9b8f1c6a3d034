#include "device_fleet.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "console.h"
#include "engine_hooks.h"
#include "exit_status.h"
#include "host_buffers.h"
#include "input_files.h"
#include "multi_progress.h"
#include "queued_transport.h"
#include "tagged_console.h"
#include "wide_text.h"
#include "workers.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// One device's update: its record, its runner and writer, and what is known of its progress.
struct DeviceRun {
    iap_env_t *record = nullptr;
    std::unique_ptr<QueuedTransport> queued;
    std::unique_ptr<EngineRunner> runner;
    std::atomic<uint64_t> bytes{0};  // written by the observer, inside the engine lock
    Clock::time_point started;
    Outcome outcome = Outcome::NoEvent;  // set by its waiter
    Clock::time_point ended;
};

// Bytes acknowledged so far: the ranges already verified and the current range's written pages.
uint64_t programmed_bytes(const iap_env_t &r, const FleetPlan &plan) {
    const uint32_t ranges[2] = {plan.image_program, plan.tts_rounded};
    uint64_t done = 0;
    for (unsigned i = 0; i < r.update_done_num && i < 2; i++) {
        done += ranges[i];
    }
    if (r.update_done_num < r.update_file_num) {
        done += std::min(r.iap_offset, r.size);
    }
    return done;
}

Progress progress_of(const iap_env_t &r) {
    Progress p;
    p.state = r.state;
    p.offset = r.iap_offset;
    p.size = r.size;
    p.ranges = r.update_file_num;
    p.range = r.update_done_num < r.update_file_num ? r.update_done_num + 1u : r.update_file_num;
    return p;
}

std::string reason_for(Outcome o, std::chrono::milliseconds stall_limit) {
    switch (o) {
        case Outcome::Success:
            return "";
        case Outcome::Timeout:
            return "timeout: a step stayed unanswered through its retries";
        case Outcome::Error:
            return "error: a checksum did not match or the device refused a command";
        case Outcome::Stalled:
            return "stalled: no progress for " + std::to_string(stall_limit.count() / 1000) + " s";
        case Outcome::NoEvent:
            return "no-event: the update stopped without an outcome";
    }
    return outcome_name(o);
}

std::string format(const char *fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

std::string rate_text(double bytes_per_second) {
    if (bytes_per_second >= 1024.0 * 1024.0) {
        return format("%.1f MiB/s", bytes_per_second / (1024.0 * 1024.0));
    }
    return format("%.1f KiB/s", bytes_per_second / 1024.0);
}

// The line a device's outcome gets as soon as it is known.
std::string outcome_line(const DeviceResult &r) {
    if (r.succeeded()) {
        return "hidiap: [" + r.tag + "] updated and verified: " + std::to_string(r.bytes) +
               " bytes in " + format("%.2f", r.seconds) + " s\n";
    }
    return "hidiap: [" + r.tag + "] update failed (" + outcome_name(r.outcome) + ") after " +
           format("%.2f", r.seconds) + " s\n";
}

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

std::vector<std::string> device_tags(const std::vector<FleetDevice> &devices) {
    std::map<std::string, int> uses;
    for (const FleetDevice &d : devices) {
        uses[d.serial]++;
    }
    std::vector<std::string> tags;
    for (size_t i = 0; i < devices.size(); i++) {
        const FleetDevice &d = devices[i];
        if (!d.serial.empty() && uses[d.serial] == 1) {
            tags.push_back(d.serial);
        } else {
            tags.push_back(std::to_string(i + 1) + ":" + d.path);
        }
    }
    return tags;
}

std::vector<DeviceResult> update_fleet(const std::vector<FleetDevice> &devices,
                                       const FleetPlan &plan, const FleetSettings &settings) {
    const size_t n = devices.size();
    const std::vector<std::string> tags = device_tags(devices);
    const TaggedConsole::Sink out =
        settings.out ? settings.out : TaggedConsole::Sink(console_stdout_sink);
    const TaggedConsole::Sink err = settings.err ? settings.err : TaggedConsole::Sink(write_stderr);
    std::unique_ptr<MultiProgressDisplay> display;
    if (settings.show_progress) {
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

    // The first device keeps the tool's own record; the others get theirs here.
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
        r->queued = std::make_unique<QueuedTransport>(
            *devices[i].transport, [i](const uint8_t *report, size_t len) {
                const TaggedConsole::DeviceScope scope(i);
                dump_hex(report, static_cast<int>(len), 16);
            });
        r->runner = std::make_unique<EngineRunner>(*r->queued, *r->record);
        r->runner->set_observer([r, &plan, shown, i](const iap_env_t &record) {
            r->bytes = programmed_bytes(record, plan);
            if (shown != nullptr) {
                shown->update(i, progress_of(record));
            }
        });
        console.attach(r->runner.get(), i);
        workers_devices.push_back({r->runner.get(), r->queued.get()});
        runs.push_back(std::move(run));
    }

    console.install();
    for (size_t i = 0; i < n; i++) {
        const TaggedConsole::DeviceScope scope(i);
        std::wstring product;
        if (devices[i].transport->product_string(product)) {
            console_printf("Product String     : %s\n", to_utf8(product).c_str());
        }
    }

    Workers workers(workers_devices, settings.tick_period);
    for (auto &run : runs) {
        run->queued->start();
    }
    workers.start();
    for (auto &run : runs) {
        run->started = Clock::now();
        run->runner->start(kImageStart, plan.image_program, kImageStart);
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
            const Outcome outcome = run.runner->wait_for_outcome(settings.stall_limit);
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
                DeviceResult &r = results[i];
                r.tag = tags[i];
                r.outcome = run.outcome;
                r.reason = reason_for(run.outcome, settings.stall_limit);
                r.bytes = run.bytes;
                r.seconds = std::chrono::duration<double>(run.ended - run.started).count();
                lock.unlock();
                if (shown != nullptr) {
                    shown->finish(i, r.succeeded() ? "success" : "FAILED: " + r.reason);
                }
                note(outcome_line(r));
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
    std::fprintf(to, "%-*s  %-7s  %10s  %8s  %12s  %s\n", w, "DEVICE", "OUTCOME", "BYTES", "TIME",
                 "THROUGHPUT", "REASON");
    std::vector<std::string> failed;
    for (const DeviceResult &r : results) {
        std::fprintf(to, "%-*s  %-7s  %10llu  %6.2f s  %12s  %s\n", w, r.tag.c_str(),
                     r.succeeded() ? "success" : "FAILED", static_cast<unsigned long long>(r.bytes),
                     r.seconds, rate_text(r.bytes_per_second()).c_str(),
                     r.succeeded() ? "-" : r.reason.c_str());
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
    for (const DeviceResult &r : results) {
        if (!r.succeeded()) {
            return kExitFailed;
        }
    }
    return kExitSuccess;
}

}  // namespace host
