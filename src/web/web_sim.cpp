// The simulated device for the page: the same device, flash model and fault rules as the tool's
// --simulate, in a module instance of its own (as a real device has a memory of its own). The
// page's "simulated device" and the browser tests wrap it in a HIDDevice-like object
// (web/sim-hid.js).
#include <emscripten.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "device/fault_rules.h"
#include "device/sim_device.h"
#include "timing/usb_timing.h"

namespace {

using Clock = timing::Clock;

// The device, and with a timing model the link to it: its answers are readable when the model
// says, on the page's monotonic clock (the steady clock here), as the tool's simulated link does.
struct WebSim {
    explicit WebSim(sim::FaultSchedule faults) : device(std::move(faults)) {}

    // Answers the device made (or released) at `ready`, onto the wire.
    void take_answers(Clock::time_point ready) {
        sim::Report report;
        while (device.pop_answer(report)) {
            wire.emplace_back(ready, report);
        }
    }

    sim::SimDevice device;
    std::optional<timing::UsbLinkModel> link;
    Clock::duration frame{};
    std::deque<std::pair<Clock::time_point, sim::Report>> wire;

    // Where the host's time goes under a timing model: how late each answer was read after it
    // became readable (the page's event loop busy, or the wake-up late), and from the last
    // answer read to the report the host wrote next (the page's own reaction). A report written
    // more than a frame after its answer was readable costs the update whole frames.
    Clock::time_point last_ready{};
    Clock::time_point last_read{};
    bool answer_read = false;
    double answers = 0;
    double read_late_ms = 0;
    double replies = 0;
    double reaction_ms = 0;
    double frames_lost = 0;
};

std::string error;

}  // namespace

extern "C" {

// A device with the fault rules given one per line (the --sim-fault syntax) and a timing model of
// its link ("" for none: answers at once; else the --sim-timing syntax); null, with the reason
// in hidiap_sim_error(), when a rule or the model is unusable.
EMSCRIPTEN_KEEPALIVE WebSim *hidiap_sim_create(const char *rules, const char *link) {
    std::vector<std::string> texts;
    std::istringstream lines(rules);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            texts.push_back(line);
        }
    }
    sim::FaultSchedule faults;
    if (!sim::parse_fault_schedule(texts, faults, error)) {
        return nullptr;
    }
    timing::UsbTimingFigures figures;
    if (*link != '\0' && !timing::parse_usb_timing(link, figures, error)) {
        return nullptr;
    }
    auto *web = new WebSim(std::move(faults));
    if (*link != '\0') {
        web->link.emplace(figures, Clock::now());
        web->frame = std::chrono::duration_cast<Clock::duration>(figures.frame);
    }
    return web;
}

EMSCRIPTEN_KEEPALIVE const char *hidiap_sim_error() {
    return error.c_str();
}

EMSCRIPTEN_KEEPALIVE void hidiap_sim_destroy(WebSim *web) {
    delete web;
}

// One output report, report ID first. 0 when the write fails (unplugged, or a fault says so).
EMSCRIPTEN_KEEPALIVE int hidiap_sim_receive(WebSim *web, const uint8_t *report, int len) {
    const Clock::time_point now = Clock::now();
    if (!web->device.receive(report, static_cast<size_t>(len))) {
        return 0;
    }
    if (web->link) {
        if (web->answer_read) {
            web->answer_read = false;
            web->replies++;
            web->reaction_ms +=
                std::chrono::duration<double, std::milli>(now - web->last_read).count();
            web->frames_lost += static_cast<double>((now - web->last_ready) / web->frame);
        }
        web->take_answers(web->link->on_report(now, report, static_cast<size_t>(len)));
    }
    return 1;
}

// Milliseconds until the next answer is readable: 0 when one is now, -1 when none is coming.
EMSCRIPTEN_KEEPALIVE double hidiap_sim_next_answer_ms(WebSim *web) {
    if (!web->link) {
        return web->device.answers_ready() != 0 ? 0 : -1;
    }
    if (web->wire.empty()) {
        return -1;
    }
    const auto wait = web->wire.front().first - Clock::now();
    return wait.count() <= 0 ? 0 : std::chrono::duration<double, std::milli>(wait).count();
}

// The next answer readable now, 64 bytes with the report ID first, into out; 0 when none is.
EMSCRIPTEN_KEEPALIVE int hidiap_sim_pop(WebSim *web, uint8_t *out) {
    sim::Report report;
    if (!web->link) {
        if (!web->device.pop_answer(report)) {
            return 0;
        }
    } else {
        const Clock::time_point now = Clock::now();
        if (web->wire.empty() || web->wire.front().first > now) {
            return 0;
        }
        report = web->wire.front().second;
        web->last_ready = web->wire.front().first;
        web->last_read = now;
        web->answer_read = true;
        web->answers++;
        web->read_late_ms +=
            std::chrono::duration<double, std::milli>(now - web->last_ready).count();
        web->wire.pop_front();
    }
    std::copy(report.begin(), report.end(), out);
    return 1;
}

// The device's 10 ms clock: releases held answers (onto the wire, with a timing model).
EMSCRIPTEN_KEEPALIVE void hidiap_sim_tick(WebSim *web) {
    web->device.tick();
    if (web->link && web->device.answers_ready() != 0) {
        web->take_answers(web->link->released_answer_ready(Clock::now()));
    }
}

// What an update of these programmed lengths costs on the link the timing text describes, in
// seconds; -1 when the text is not a model.
EMSCRIPTEN_KEEPALIVE double hidiap_sim_theoretical_seconds(const char *link, int image_bytes,
                                                           int tts_bytes) {
    timing::UsbTimingFigures figures;
    if (!timing::parse_usb_timing(link, figures, error)) {
        return -1;
    }
    const timing::Nanos t = timing::theoretical_update_time(
        figures, static_cast<uint32_t>(image_bytes), static_cast<uint32_t>(tts_bytes));
    return std::chrono::duration<double>(t).count();
}

// Under a timing model, into out[5]: answers read, milliseconds they were read late in all,
// reports written in reply to an answer, milliseconds from the answer read to that report in
// all, and the frames those replies lost.
EMSCRIPTEN_KEEPALIVE void hidiap_sim_link_figures(WebSim *web, double *out) {
    out[0] = web->answers;
    out[1] = web->read_late_ms;
    out[2] = web->replies;
    out[3] = web->reaction_ms;
    out[4] = web->frames_lost;
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_unplugged(WebSim *web) {
    return web->device.unplugged() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_rebooted(WebSim *web) {
    return web->device.rebooted() ? 1 : 0;
}

// The device's whole flash (2 MiB), for the tests to compare.
EMSCRIPTEN_KEEPALIVE const uint8_t *hidiap_sim_flash(WebSim *web) {
    return web->device.flash().bytes().data();
}

EMSCRIPTEN_KEEPALIVE int hidiap_sim_flash_size(WebSim *web) {
    return static_cast<int>(web->device.flash().bytes().size());
}

}  // extern "C"
