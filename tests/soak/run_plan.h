// One soak run, drawn from its seed: the two input files, the flash-size token and the faults the
// simulated device is told to commit. The same seed always gives the same plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/fault_rules.h"

namespace soak {

// Row of the outcome table: the kind of fault a run was given, or "mixed" for several kinds.
enum class FaultClass { kNone, kDrop, kError, kDup, kDelay, kFailWrite, kUnplug, kCorrupt, kMixed };
constexpr int kFaultClassCount = 9;
const char *fault_class_name(FaultClass c);

struct PlannedFault {
    sim::FaultKind kind = sim::FaultKind::kDrop;
    std::string
        command;  // a rule command name: unlock, lock, erase, write, page, check, reboot, any
    uint32_t nth = 1;
    std::optional<uint32_t> arg;

    // The --sim-fault text of the rule, KIND:COMMAND:N[:ARG].
    std::string text() const;
};

struct RunPlan {
    uint64_t seed = 0;
    std::vector<uint8_t> image;  // the whole image file; bytes from 0x8000 on are programmed
    std::vector<uint8_t> tts;
    std::string token;
    std::vector<PlannedFault> faults;
    // Runs with --skip-unchanged start from a flash an earlier history left: erased (empty), the
    // flash this update leaves, or that flash with sectors of the ranges changed.
    bool skip_unchanged = false;
    std::vector<uint8_t> start_flash;  // 2 MiB, or empty for an erased flash
    // Runs with --skip-blank (implied by --skip-unchanged) send no page of nothing but 0xFF.
    bool skip_blank = false;

    FaultClass fault_class() const;
    uint32_t tts_addr() const;  // where the tool puts the TTS data for this token
    std::vector<std::string> fault_texts() const;
    // True when no rule can hit because a fault-free run never reaches its occasion: such a run
    // must end exactly like a run without faults.
    bool inert() const;
    // Occasions a fault-free run offers a rule of this kind and command: frames that reach the
    // device for fail-write and unplug, answers for the rest.
    uint32_t clean_occasions(sim::FaultKind kind, const std::string &command) const;
};

RunPlan make_plan(uint64_t seed);

// One line: sizes, token and rules, for reports and replays.
std::string describe(const RunPlan &plan);

}  // namespace soak
