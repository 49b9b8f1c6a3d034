// hidiap-gadget: the simulated device as the firmware of a USB HID gadget. It serves the reports
// of /dev/hidgN with the same device model and fault rules as `hidiap --simulate`, so the
// unchanged tool can be run against it through a real kernel's USB and HID stack.
//
//   hidiap-gadget --hidg /dev/hidg0 [--flash-dump FILE] [--sim-fault RULE]...
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
#include <string>
#include <vector>

#include "fault_rules.h"
#include "hidg_endpoint.h"
#include "sim_device.h"

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
    CLI11_PARSE(app, argc, argv);

    sim::FaultSchedule faults;
    std::string error;
    if (!sim::parse_fault_schedule(fault_texts, faults, error)) {
        std::fprintf(stderr, "hidiap-gadget: --sim-fault: %s\n", error.c_str());
        return 2;
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
    while (!stop_requested) {
        for (const std::vector<uint8_t> &report : endpoint.wait_reports(next_tick)) {
            device.receive(report.data(), report.size());
        }
        const auto now = std::chrono::steady_clock::now();
        while (now >= next_tick) {
            device.tick();
            next_tick += kDeviceTick;
        }
        sim::Report answer;
        while (device.pop_answer(answer)) {
            if (!endpoint.write_report(answer.data(), answer.size(), kWriteLimit)) {
                lost_answers++;
            }
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
