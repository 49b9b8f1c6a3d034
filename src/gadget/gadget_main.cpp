// hidiap-gadget: the simulated device as the firmware of a USB HID gadget. It serves the reports
// of /dev/hidgN with the same device model and fault rules as `hidiap --simulate`, so the
// unchanged tool can be run against it through a real kernel's USB and HID stack.
//
//   hidiap-gadget --hidg /dev/hidg0 [--flash-dump FILE] [--sim-fault RULE]... [--sim-timing M]
//
// With --sim-timing (usb-fs[,erase=45ms,...], as the tool's) each answer is held back until the
// device would have finished the work the timing model gives the command.
//
// It runs until SIGTERM or SIGINT, then writes its whole flash to FILE and exits 0. The flash
// is also written each time the device is told to reboot, so it is there even if the gadget is
// killed.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/fault_rules.h"
#include "device/sim_device.h"
#include "gadget/hidg_endpoint.h"
#include "timing/usb_timing.h"

namespace {

std::atomic<bool> stop_requested{false};
void on_stop(int) {
    stop_requested = true;
}

constexpr std::chrono::milliseconds kDeviceTick{10};
// How long an answer may wait for the host to take the previous one before it is given up.
constexpr std::chrono::milliseconds kWriteLimit{1000};

bool dump_flash(const sim::SimDevice &device, const std::string &path) {
    if (path.empty()) {
        return true;
    }
    const std::string temp = path + ".tmp";
    std::FILE *f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const std::vector<uint8_t> &bytes = device.flash().bytes();
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    // Renamed into place so a reader never sees half a dump.
    return std::fclose(f) == 0 && ok && std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string hidg = "/dev/hidg0";
    std::string flash_dump;
    std::vector<std::string> fault_texts;
    CLI::App app{"Serves a USB HID gadget function as the simulated IAP device.", "hidiap-gadget"};
    app.add_option("--hidg", hidg, "gadget device node")->capture_default_str();
    app.add_option("--flash-dump", flash_dump, "write the flash here at exit and on reboot");
    app.add_option("--sim-fault", fault_texts, "fault rule KIND:COMMAND:N[:ARG] (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);
    std::string timing_text;
    app.add_option("--sim-timing", timing_text,
                   "hold answers as a USB full-speed link and flash would: "
                   "usb-fs[,erase=45ms,page=0.8ms,frame=1ms,crc=20MB/s]");
    CLI11_PARSE(app, argc, argv);

    sim::FaultSchedule faults;
    std::string error;
    if (!sim::parse_fault_schedule(fault_texts, faults, error)) {
        std::fprintf(stderr, "hidiap-gadget: --sim-fault: %s\n", error.c_str());
        return 2;
    }
    std::optional<timing::UsbLinkModel> link;
    if (!timing_text.empty()) {
        timing::UsbTimingFigures figures;
        if (!timing::parse_usb_timing(timing_text, figures, error)) {
            std::fprintf(stderr, "hidiap-gadget: --sim-timing: %s\n", error.c_str());
            return 2;
        }
        link.emplace(figures, std::chrono::steady_clock::now());
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    gadget::HidgEndpoint endpoint;
    if (!endpoint.open(hidg)) {
        std::fprintf(stderr, "hidiap-gadget: cannot open %s: %s\n", hidg.c_str(),
                     std::strerror(errno));
        return 1;
    }
    sim::SimDevice device(faults);
    bool was_rebooted = false;
    unsigned long lost_answers = 0;
    auto next_tick = std::chrono::steady_clock::now() + kDeviceTick;
    // Answers with the time they may go out (at once without a timing model).
    std::deque<std::pair<std::chrono::steady_clock::time_point, sim::Report>> outgoing;
    const auto take_answers = [&](std::chrono::steady_clock::time_point ready) {
        sim::Report answer;
        while (device.pop_answer(answer)) {
            outgoing.emplace_back(ready, answer);
        }
    };
    while (!stop_requested) {
        const auto wake =
            outgoing.empty() ? next_tick : std::min(next_tick, outgoing.front().first);
        for (const std::vector<uint8_t> &report : endpoint.wait_reports(wake)) {
            const auto arrived = std::chrono::steady_clock::now();
            device.receive(report.data(), report.size());
            take_answers(link ? link->on_report(arrived, report.data(), report.size()) : arrived);
        }
        const auto now = std::chrono::steady_clock::now();
        while (now >= next_tick) {
            device.tick();
            next_tick += kDeviceTick;
        }
        take_answers(link ? link->released_answer_ready(now) : now);
        while (!outgoing.empty() && outgoing.front().first <= now) {
            const sim::Report &answer = outgoing.front().second;
            if (!endpoint.write_report(answer.data(), answer.size(), kWriteLimit)) {
                lost_answers++;
            }
            outgoing.pop_front();
        }
        if (device.rebooted() && !was_rebooted) {
            was_rebooted = true;
            dump_flash(device, flash_dump);
        }
    }
    endpoint.close();
    if (lost_answers != 0) {
        std::fprintf(stderr, "hidiap-gadget: %lu answers could not be written\n", lost_answers);
    }
    if (!dump_flash(device, flash_dump)) {
        std::fprintf(stderr, "hidiap-gadget: cannot write %s\n", flash_dump.c_str());
        return 1;
    }
    return 0;
}
