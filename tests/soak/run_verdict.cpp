#include "run_verdict.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "expected_layout.h"

namespace soak {

namespace {

constexpr uint32_t kImageStart = 0x8000;
constexpr uint32_t kPage = 0x100;
constexpr size_t kFlashSize = 0x200000;

uint32_t round256(size_t n) {
    return static_cast<uint32_t>((n + 255) & ~size_t{255});
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x", v);
    return text;
}

// The reason the tool gives on standard error for a failed update, or "" when it gives none.
std::string failure_reason(const std::string &errors) {
    const std::string mark = "update failed (";
    const size_t at = errors.find(mark);
    if (at == std::string::npos) {
        return "";
    }
    const size_t begin = at + mark.size();
    const size_t end = errors.find(')', begin);
    return end == std::string::npos ? "" : errors.substr(begin, end - begin);
}

bool starts_with(const std::string &text, const char *head) {
    return text.compare(0, std::strlen(head), head) == 0;
}

// The lines of a console transcript without their line ends.
std::vector<std::string> console_lines(const std::string &console) {
    std::vector<std::string> lines;
    std::istringstream in(console);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// A rule that can take the board off the bus on a reboot frame.
bool may_unplug_on_reboot(const RunPlan &plan) {
    return std::any_of(plan.faults.begin(), plan.faults.end(), [](const PlannedFault &f) {
        return f.kind == sim::FaultKind::kUnplug && (f.command == "reboot" || f.command == "any");
    });
}

// Every range verified and the reboot sent, then the board went away before it answered it (an
// unplug rule landed on a resent reboot): the board is updated, and the tool rightly reports so
// (exit status 0) although the engine's last word is its time-out. After the last check only the
// reboot's own lines may come (its frames, refusals of it, the dumps of reports that could not
// be written), then that one time-out line; the flash is checked like any success's.
bool rebooted_before_answering(const RunPlan &plan, const std::string &console) {
    if (!may_unplug_on_reboot(plan)) {
        return false;
    }
    const std::vector<std::string> lines = console_lines(console);
    const auto check_done =
        std::find(lines.rbegin(), lines.rend(), "[IAP]: check done!update_done_num:2");
    if (check_done == lines.rend() || lines.back() != "IAP_EVT_CMD_RX_TIMEOUT") {
        return false;
    }
    bool reboot_sent = false;
    for (auto it = check_done.base(); it + 1 < lines.end(); ++it) {
        const std::string &line = *it;
        const bool dump = line.size() > 11 && line[0] == '[' && line.compare(9, 2, "]:") == 0;
        const bool refused =
            starts_with(line, "[IAP]: Command 00000086, RET ") || line == "IAP_EVT_CMD_ERROR";
        if (line == "[IAP]: flash reboot") {
            reboot_sent = true;
        } else if (!dump && !refused) {
            return false;
        }
    }
    return reboot_sent;
}

void check_exit_and_events(const Verdict &v, const std::vector<OutcomeColumn> &events,
                           bool rebooted, std::vector<std::string> &out) {
    int successes = 0;
    for (OutcomeColumn e : events) {
        successes += e == OutcomeColumn::kSuccess ? 1 : 0;
    }
    if (v.exit_status != 0 && v.exit_status != 1) {
        out.push_back("exit status " + std::to_string(v.exit_status) +
                      "; an update ends in 0 or 1");
    }
    if (events.empty()) {
        out.push_back("no event line: the run ended without an outcome");
    }
    if (successes > 1) {
        out.push_back(std::to_string(successes) + " success lines");
    }
    const bool success_line_last = v.outcome == OutcomeColumn::kSuccess && successes == 1;
    if (v.exit_status == 0 && !success_line_last && successes == 0 && rebooted) {
        return;
    }
    if ((v.exit_status == 0) != success_line_last) {
        out.push_back("exit status " + std::to_string(v.exit_status) +
                      " but the last event line is " + outcome_column_name(v.outcome) + " (" +
                      std::to_string(successes) + " success lines)");
    }
}

void check_reported_reason(const Verdict &v, const std::string &errors,
                           std::vector<std::string> &out) {
    if (v.exit_status != 1) {
        return;
    }
    const std::string reason = failure_reason(errors);
    const bool agrees = (reason == "timeout" && v.outcome == OutcomeColumn::kTimeout) ||
                        (reason == "error" && v.outcome == OutcomeColumn::kError);
    if (!agrees) {
        out.push_back("the tool reported the failure as '" + reason +
                      "' but the console's last event line is " + outcome_column_name(v.outcome));
    }
}

bool has_corrupt_rule(const RunPlan &plan) {
    for (const PlannedFault &f : plan.faults) {
        if (f.kind == sim::FaultKind::kCorrupt) {
            return true;
        }
    }
    return false;
}

void check_flash(const RunPlan &plan, const RunObservation &seen, Verdict &v,
                 std::vector<std::string> &out) {
    if (seen.flash.size() != kFlashSize) {
        out.push_back("the simulated flash file holds " + std::to_string(seen.flash.size()) +
                      " bytes, not 2 MiB");
        return;
    }
    const std::vector<uint8_t> expected =
        test_support::expected_flash(plan.image, plan.tts, plan.tts_addr());
    std::vector<uint32_t> flipped =
        single_bit_pages(seen.flash, expected, kImageStart, round256(plan.image.size()));
    const std::vector<uint32_t> tts_flipped = single_bit_pages(
        seen.flash, expected, plan.tts_addr(), plan.tts_addr() + round256(plan.tts.size()));
    flipped.insert(flipped.end(), tts_flipped.begin(), tts_flipped.end());
    v.corruption_seen = !flipped.empty();
    if (!flipped.empty() && !has_corrupt_rule(plan)) {
        out.push_back("the page at " + hex(flipped.front()) +
                      " holds one flipped bit, but no corrupt rule was given");
    }
    if (v.exit_status != 0) {
        return;
    }
    if (!flipped.empty()) {
        out.push_back("success, yet a corrupted byte stayed in the verified page at " +
                      hex(flipped.front()));
    }
    size_t differ = 0;
    size_t first = 0;
    for (size_t i = 0; i < kFlashSize; i++) {
        if (seen.flash[i] != expected[i] && differ++ == 0) {
            first = i;
        }
    }
    if (differ != 0) {
        out.push_back("success, yet " + std::to_string(differ) +
                      " flash bytes differ from the expected layout, the first at " +
                      hex(static_cast<uint32_t>(first)));
    }
}

}  // namespace

const char *outcome_column_name(OutcomeColumn c) {
    switch (c) {
        case OutcomeColumn::kSuccess:
            return "success";
        case OutcomeColumn::kTimeout:
            return "timeout";
        case OutcomeColumn::kError:
            return "error";
        case OutcomeColumn::kOther:
            return "other";
    }
    return "?";
}

std::vector<OutcomeColumn> event_lines(const std::string &console) {
    std::vector<OutcomeColumn> events;
    for (const std::string &line : console_lines(console)) {
        if (line == "Firmware updated successfully !") {
            events.push_back(OutcomeColumn::kSuccess);
        } else if (line == "IAP_EVT_CMD_RX_TIMEOUT") {
            events.push_back(OutcomeColumn::kTimeout);
        } else if (line == "IAP_EVT_CMD_ERROR") {
            events.push_back(OutcomeColumn::kError);
        } else if (line == "unknown error !") {
            events.push_back(OutcomeColumn::kOther);
        }
    }
    return events;
}

std::vector<uint32_t> single_bit_pages(const std::vector<uint8_t> &flash,
                                       const std::vector<uint8_t> &expected, uint32_t begin,
                                       uint32_t end) {
    std::vector<uint32_t> pages;
    for (uint32_t page = begin; page < end && page + kPage <= flash.size(); page += kPage) {
        const bool erased = std::all_of(flash.begin() + page, flash.begin() + page + kPage,
                                        [](uint8_t b) { return b == 0xFF; });
        if (erased) {
            continue;
        }
        size_t flipped_bits = 0;
        for (uint32_t i = page; i < page + kPage && flipped_bits <= 1; i++) {
            flipped_bits += std::bitset<8>(flash[i] ^ expected[i]).count();
        }
        if (flipped_bits == 1) {
            pages.push_back(page);
        }
    }
    return pages;
}

Verdict judge_run(const RunPlan &plan, const RunObservation &seen) {
    Verdict v;
    v.exit_status = seen.exit_status;
    const std::vector<OutcomeColumn> events = event_lines(seen.console);
    v.outcome = events.empty() ? OutcomeColumn::kOther : events.back();
    std::vector<std::string> &out = v.violations;
    check_exit_and_events(v, events, rebooted_before_answering(plan, seen.console), out);
    check_reported_reason(v, seen.errors, out);
    check_flash(plan, seen, v, out);
    v.clean_run_failed = plan.inert() && v.exit_status != 0;
    return v;
}

std::string encode_verdict(const Verdict &v) {
    std::string text = "outcome " + std::to_string(static_cast<int>(v.outcome)) + "\n";
    text += "exit " + std::to_string(v.exit_status) + "\n";
    text += "corruption " + std::to_string(v.corruption_seen ? 1 : 0) + "\n";
    text += "clean-run-failed " + std::to_string(v.clean_run_failed ? 1 : 0) + "\n";
    for (const std::string &violation : v.violations) {
        text += "violation " + violation + "\n";
    }
    return text + "end\n";
}

bool decode_verdict(const std::string &text, Verdict &out) {
    Verdict v;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        try {
            if (key == "outcome") {
                const int c = std::stoi(value);
                if (c < 0 || c >= kOutcomeColumnCount) {
                    return false;
                }
                v.outcome = static_cast<OutcomeColumn>(c);
            } else if (key == "exit") {
                v.exit_status = std::stoi(value);
            } else if (key == "corruption") {
                v.corruption_seen = value == "1";
            } else if (key == "clean-run-failed") {
                v.clean_run_failed = value == "1";
            } else if (key == "violation") {
                v.violations.push_back(value);
            } else if (key == "end") {
                out = v;
                return true;
            } else {
                return false;
            }
        } catch (const std::exception &) {
            return false;
        }
    }
    return false;
}

}  // namespace soak
