#include "run_plan.h"

#include <algorithm>
#include <cstdio>

#include "expected_layout.h"
#include "soak_random.h"

namespace soak {

namespace {

constexpr uint32_t kImageStart = 0x8000;
constexpr uint32_t kPage = 0x100;
constexpr uint32_t kSector = 0x1000;
constexpr uint32_t kChunksPerPage = 5;
// Images reach at most this far past 0x8000, which keeps them far below either TTS address and
// a fault-free run well under a second.
constexpr uint32_t kImageSpan = 0x4000;
constexpr uint32_t kTtsMax = 0x1000;

uint32_t round_up(uint32_t n, uint32_t unit) {
    return (n + unit - 1) / unit * unit;
}

bool acts_on_frames(sim::FaultKind kind) {
    return kind == sim::FaultKind::kFailWrite || kind == sim::FaultKind::kUnplug;
}

const char *kind_text(sim::FaultKind kind) {
    switch (kind) {
        case sim::FaultKind::kDrop:
            return "drop";
        case sim::FaultKind::kError:
            return "error";
        case sim::FaultKind::kDup:
            return "dup";
        case sim::FaultKind::kDelay:
            return "delay";
        case sim::FaultKind::kCorrupt:
            return "corrupt";
        case sim::FaultKind::kUnplug:
            return "unplug";
        case sim::FaultKind::kFailWrite:
            return "fail-write";
        case sim::FaultKind::kNoErase:
            return "no-erase";
    }
    return "?";
}

FaultClass class_of(sim::FaultKind kind) {
    switch (kind) {
        case sim::FaultKind::kDrop:
            return FaultClass::kDrop;
        case sim::FaultKind::kError:
            return FaultClass::kError;
        case sim::FaultKind::kDup:
            return FaultClass::kDup;
        case sim::FaultKind::kDelay:
            return FaultClass::kDelay;
        case sim::FaultKind::kCorrupt:
            return FaultClass::kCorrupt;
        case sim::FaultKind::kUnplug:
            return FaultClass::kUnplug;
        case sim::FaultKind::kFailWrite:
            return FaultClass::kFailWrite;
        case sim::FaultKind::kNoErase:
            return FaultClass::kCorrupt;  // not drawn; the flash ends up other than sent, too
    }
    return FaultClass::kMixed;
}

uint32_t image_length(SoakRandom &r) {
    const uint32_t roll = r.between(1, 100);
    if (roll <= 40) {
        return kImageStart + r.between(1, kImageSpan);
    }
    if (roll <= 60) {
        return kImageStart + kPage * r.between(1, kImageSpan / kPage);
    }
    if (roll <= 75) {
        return kImageStart + kSector * r.between(1, kImageSpan / kSector);
    }
    if (roll <= 85) {
        // One byte either side of a sector end: the last page is nearly empty or just full.
        const uint32_t end = kImageStart + kSector * r.between(1, kImageSpan / kSector);
        return r.percent(50) ? end + 1 : end - 1;
    }
    if (roll <= 95) {
        return kImageStart + r.between(1, kPage);
    }
    return kImageStart + 1;
}

uint32_t tts_length(SoakRandom &r) {
    const uint32_t roll = r.between(1, 100);
    if (roll <= 50) {
        return r.between(1, kTtsMax);
    }
    if (roll <= 70) {
        return kPage * r.between(1, kTtsMax / kPage);
    }
    if (roll <= 80) {
        return kTtsMax;
    }
    if (roll <= 90) {
        return 1;
    }
    return kPage * r.between(1, kTtsMax / kPage - 1) + 1;
}

PlannedFault draw_fault(SoakRandom &r, const RunPlan &plan) {
    static const std::vector<sim::FaultKind> kinds = {
        sim::FaultKind::kDrop,     sim::FaultKind::kError,   sim::FaultKind::kDup,
        sim::FaultKind::kDelay,    sim::FaultKind::kCorrupt, sim::FaultKind::kUnplug,
        sim::FaultKind::kFailWrite};
    static const std::vector<std::string> commands = {"unlock", "erase",  "page",
                                                      "check",  "reboot", "any"};
    PlannedFault f;
    f.kind = r.pick(kinds);
    // Now and then a command the engine never sends (write, lock): the rule must change nothing.
    const bool never_sent = r.percent(4);
    if (f.kind == sim::FaultKind::kCorrupt) {
        f.command = never_sent ? "write" : "page";
    } else {
        f.command = never_sent ? (r.percent(50) ? "write" : "lock") : r.pick(commands);
    }
    const uint32_t count = plan.clean_occasions(f.kind, f.command);
    const uint32_t roll = r.between(1, 100);
    if (count == 0) {
        f.nth = r.between(1, 3);
    } else if (roll <= 20) {
        f.nth = 1;
    } else if (roll <= 35) {
        f.nth = count;
    } else if (roll <= 85) {
        f.nth = r.between(1, count);
    } else {
        // Past the last occasion of a clean run: only a run that other faults stretched gets here.
        f.nth = count + r.between(1, 3);
    }
    switch (f.kind) {
        case sim::FaultKind::kError:
            if (r.percent(70)) {
                f.arg = r.between(1, 255);
            }
            break;
        case sim::FaultKind::kDelay: {
            // Within a step's budget, past it (the step is resent and the answer comes late),
            // around the check's budget, or so late that it never comes.
            const uint32_t d = r.between(1, 100);
            f.arg = d <= 35   ? r.between(1, 8)
                    : d <= 70 ? r.between(12, 45)
                    : d <= 95 ? r.between(200, 400)
                              : 1000000u;
            break;
        }
        case sim::FaultKind::kCorrupt:
            if (r.percent(80)) {
                f.arg = r.between(0, 255);
            }
            break;
        default:
            break;
    }
    return f;
}

struct RangeSteps {
    uint32_t checks = 0;  // surveys and the range's own check
    uint32_t erases = 0;
    uint32_t pages = 0;
};

// Pages of sector s of the range that a run sends: with --skip-blank, only those not all 0xFF.
uint32_t pages_sent(const RunPlan &plan, const std::vector<uint8_t> &target, uint32_t flash_addr,
                    uint32_t bytes, uint32_t s) {
    if (!plan.skip_blank) {
        return (std::min(bytes, (s + 1) * kSector) - s * kSector) / kPage;
    }
    uint32_t pages = 0;
    for (uint32_t at = s * kSector; at < std::min(bytes, (s + 1) * kSector); at += kPage) {
        const auto first = target.begin() + flash_addr + at;
        pages += std::all_of(first, first + kPage, [](uint8_t b) { return b == 0xFF; }) ? 0 : 1;
    }
    return pages;
}

// The steps a fault-free run takes for one range of `bytes` bytes at flash_addr: every sector
// without a survey; with one, only the sectors whose content differs from the target, erased
// unless they read as erased.
RangeSteps range_steps(const RunPlan &plan, const std::vector<uint8_t> &target, uint32_t flash_addr,
                       uint32_t bytes) {
    RangeSteps steps;
    const uint32_t sectors = round_up(bytes, kSector) / kSector;
    steps.checks = 1;
    if (!plan.skip_unchanged) {
        steps.erases = sectors;
        for (uint32_t s = 0; s < sectors; s++) {
            steps.pages += pages_sent(plan, target, flash_addr, bytes, s);
        }
        return steps;
    }
    const auto start = [&](uint32_t at) {
        return plan.start_flash.empty() ? uint8_t{0xFF} : plan.start_flash[at];
    };
    const auto sector_erased = [&](uint32_t s) {
        for (uint32_t at = flash_addr + s * kSector; at < flash_addr + (s + 1) * kSector; at++) {
            if (start(at) != 0xFF) {
                return false;
            }
        }
        return true;
    };
    const auto sector_same = [&](uint32_t s, bool erased) {
        for (uint32_t at = flash_addr + s * kSector; at < flash_addr + (s + 1) * kSector; at++) {
            if ((erased ? uint8_t{0xFF} : start(at)) != target[at]) {
                return false;
            }
        }
        return true;
    };
    bool all_same = true;
    bool all_erased = true;
    for (uint32_t at = flash_addr; at < flash_addr + sectors * kSector; at++) {
        all_same = all_same && start(at) == target[at];
        all_erased = all_erased && start(at) == 0xFF;
    }
    steps.checks += 1 + (all_same || all_erased ? 0 : sectors);
    for (uint32_t s = 0; s < sectors && !all_same; s++) {
        if (!sector_same(s, all_erased)) {
            steps.erases += sector_erased(s) ? 0 : 1;
            steps.pages += pages_sent(plan, target, flash_addr, bytes, s);
        }
    }
    return steps;
}

// Blank pages and sectors in the files of a --skip-blank run (and of some --skip-unchanged runs,
// which imply it), as real images have them; drawn from a generator of their own.
void draw_blank_pages(uint64_t seed, RunPlan &plan) {
    SoakRandom r(seed * 0xD1B54A32D192ED03ull + 0xB1A4);
    plan.skip_blank = r.percent(30);
    if (!r.percent(50)) {
        return;
    }
    for (std::vector<uint8_t> *file : {&plan.image, &plan.tts}) {
        const uint32_t share = r.between(10, 90);
        const uint32_t run = r.percent(50) ? kPage : kSector;  // single pages, or whole sectors
        for (size_t at = 0; at < file->size(); at += run) {
            if (r.percent(share)) {
                std::fill(file->begin() + at, file->begin() + std::min(file->size(), at + run),
                          0xFF);
            }
        }
    }
}

// Starting flashes of a --skip-unchanged run, drawn from their own generator so that the plans
// of the runs without it stay as they were.
void draw_start_flash(uint64_t seed, RunPlan &plan) {
    SoakRandom r(seed * 0x9E3779B97F4A7C15ull + 0x5157);
    plan.skip_unchanged = r.percent(30);
    if (!plan.skip_unchanged) {
        return;
    }
    const uint32_t roll = r.between(1, 100);
    if (roll <= 20) {
        return;  // erased
    }
    plan.start_flash = test_support::expected_flash(plan.image, plan.tts, plan.tts_addr());
    if (roll <= 40) {
        return;  // identical
    }
    // Sectors of either range replaced: by other data, or erased from a page on, as an
    // interrupted update leaves them.
    const uint32_t image_sectors =
        round_up(round_up(static_cast<uint32_t>(plan.image.size()), kPage) - kImageStart, kSector) /
        kSector;
    const uint32_t tts_sectors =
        round_up(static_cast<uint32_t>(plan.tts.size()), kSector) / kSector;
    const uint32_t changes = roll <= 70 ? 1 : r.between(1, image_sectors + tts_sectors);
    for (uint32_t i = 0; i < changes; i++) {
        const uint32_t pick = r.between(0, image_sectors + tts_sectors - 1);
        const uint32_t sector = pick < image_sectors
                                    ? kImageStart + pick * kSector
                                    : plan.tts_addr() + (pick - image_sectors) * kSector;
        const std::vector<uint8_t> other = r.bytes(kSector);
        const uint32_t erased_from =
            r.percent(30) ? r.between(0, kSector / kPage - 1) * kPage : kSector;
        for (uint32_t at = 0; at < kSector; at++) {
            plan.start_flash[sector + at] = at < erased_from ? other[at] : 0xFF;
        }
    }
}

}  // namespace

const char *fault_class_name(FaultClass c) {
    switch (c) {
        case FaultClass::kNone:
            return "none";
        case FaultClass::kDrop:
            return "drop";
        case FaultClass::kError:
            return "error";
        case FaultClass::kDup:
            return "dup";
        case FaultClass::kDelay:
            return "delay";
        case FaultClass::kFailWrite:
            return "fail-write";
        case FaultClass::kUnplug:
            return "unplug";
        case FaultClass::kCorrupt:
            return "corrupt";
        case FaultClass::kMixed:
            return "mixed";
    }
    return "?";
}

std::string PlannedFault::text() const {
    std::string t = std::string(kind_text(kind)) + ":" + command + ":" + std::to_string(nth);
    if (arg) {
        t += ":" + std::to_string(*arg);
    }
    return t;
}

FaultClass RunPlan::fault_class() const {
    if (faults.empty()) {
        return FaultClass::kNone;
    }
    for (const PlannedFault &f : faults) {
        if (f.kind != faults.front().kind) {
            return FaultClass::kMixed;
        }
    }
    return class_of(faults.front().kind);
}

uint32_t RunPlan::tts_addr() const {
    return token.compare(0, 3, "1MB") == 0 ? 0x80000 : 0x180000;
}

std::vector<std::string> RunPlan::fault_texts() const {
    std::vector<std::string> texts;
    for (const PlannedFault &f : faults) {
        texts.push_back(f.text());
    }
    return texts;
}

uint32_t RunPlan::clean_occasions(sim::FaultKind kind, const std::string &command) const {
    const uint32_t image_bytes = round_up(static_cast<uint32_t>(image.size()), kPage) - kImageStart;
    const uint32_t tts_bytes = round_up(static_cast<uint32_t>(tts.size()), kPage);
    std::vector<uint8_t> target;
    if (skip_unchanged || skip_blank) {
        target = test_support::expected_flash(image, tts, tts_addr());
    }
    const RangeSteps image_steps = range_steps(*this, target, kImageStart, image_bytes);
    const RangeSteps tts_steps = range_steps(*this, target, tts_addr(), tts_bytes);
    const uint32_t pages = image_steps.pages + tts_steps.pages;
    const uint32_t sectors = image_steps.erases + tts_steps.erases;
    // Every page goes out as five chunks, each a frame, and gets one answer.
    const uint32_t page_occasions = acts_on_frames(kind) ? pages * kChunksPerPage : pages;
    const uint32_t unlocks = 2;
    const uint32_t checks = image_steps.checks + tts_steps.checks;
    const uint32_t reboots = 1;
    if (command == "unlock") {
        return unlocks;
    }
    if (command == "erase") {
        return sectors;
    }
    if (command == "page") {
        return page_occasions;
    }
    if (command == "check") {
        return checks;
    }
    if (command == "reboot") {
        return reboots;
    }
    if (command == "any") {
        return unlocks + sectors + page_occasions + checks + reboots;
    }
    return 0;  // write and lock are never sent
}

bool RunPlan::inert() const {
    for (const PlannedFault &f : faults) {
        if (f.nth <= clean_occasions(f.kind, f.command)) {
            return false;
        }
    }
    return true;
}

RunPlan make_plan(uint64_t seed) {
    SoakRandom r(seed);
    RunPlan plan;
    plan.seed = seed;
    plan.image = r.bytes(image_length(r));
    plan.tts = r.bytes(tts_length(r));
    plan.token = r.pick(std::vector<std::string>{"1MB", "1MBx", "2MB", "1mb"});
    const uint32_t roll = r.between(1, 100);
    const int rules = roll <= 10 ? 0 : roll <= 60 ? 1 : roll <= 85 ? 2 : 3;
    draw_blank_pages(seed, plan);
    draw_start_flash(seed, plan);
    plan.skip_blank = plan.skip_blank || plan.skip_unchanged;
    for (int i = 0; i < rules; i++) {
        plan.faults.push_back(draw_fault(r, plan));
    }
    return plan;
}

std::string describe(const RunPlan &plan) {
    char head[160];
    std::snprintf(head, sizeof head, "seed %llu: image %zu bytes (0x%zx), TTS %zu bytes, token %s",
                  static_cast<unsigned long long>(plan.seed), plan.image.size(), plan.image.size(),
                  plan.tts.size(), plan.token.c_str());
    std::string text = head;
    if (plan.skip_unchanged) {
        text += plan.start_flash.empty() ? ", --skip-unchanged over an erased flash"
                                         : ", --skip-unchanged over an earlier flash";
    }
    if (plan.skip_blank && !plan.skip_unchanged) {
        text += ", --skip-blank";
    }
    text += plan.faults.empty() ? ", no faults" : ", faults";
    for (const PlannedFault &f : plan.faults) {
        text += " " + f.text();
    }
    return text;
}

}  // namespace soak
