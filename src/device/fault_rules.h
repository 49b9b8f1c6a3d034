// Faults the simulated device can be told to commit, one rule each. Text form of a rule (used by
// --sim-fault and the gadget program):
//
//   KIND:COMMAND:N[:ARG]
//
// COMMAND is unlock, lock, erase, write, page, check, reboot, any, or a hex code such as 0x93.
// N is 1-based and hits exactly one occasion: the Nth answer to that command (for page, the Nth
// answered page), except for fail-write and unplug, which count frames of that command that reach
// the device, because they act on the frame itself. Kinds:
//
//   drop           the answer is not sent
//   error[:ARG]    the command is refused: nothing is performed, and the answer carries result ARG
//                  (1..255, default 0x10)
//   dup            the answer is sent twice
//   delay:ARG      the answer is held back ARG ticks (1..4294967295), released by tick()
//   corrupt[:ARG]  after a page or write is programmed, one bit of the byte at offset ARG (0..255,
//                  default 0) from the start of that page or write is flipped in flash; only for
//                  write, page, 0x84 and 0x93
//   unplug         from this frame on the device is gone: writes fail, no answers, held ones lost
//   fail-write     this one frame's write fails and the device never sees it
//   no-erase       the erase is answered as done but the sector is left as it was (worn or
//                  write-protected flash); only for erase
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class FaultKind : uint8_t {
    kDrop,
    kError,
    kDup,
    kDelay,
    kCorrupt,
    kUnplug,
    kFailWrite,
    kNoErase,
};

// Rule command meaning "any command".
constexpr uint16_t kAnyCommand = 0x100;
constexpr uint8_t kDefaultErrorResult = 0x10;

struct FaultRule {
    FaultKind kind = FaultKind::kDrop;
    uint16_t command = kAnyCommand;  // 0x00..0xFF, or kAnyCommand
    uint32_t nth = 1;                // 1-based occasion the rule hits
    // error: result (0 means the default 0x10); delay: ticks; corrupt: byte offset. Others: 0.
    uint32_t arg = 0;

    bool matches(uint8_t cmd) const { return command == kAnyCommand || command == cmd; }
    bool operator==(const FaultRule &other) const {
        return kind == other.kind && command == other.command && nth == other.nth &&
               arg == other.arg;
    }
};

// What the rules do to one answer.
struct AnswerFaults {
    bool drop = false;
    bool dup = false;
    uint32_t delay_ticks = 0;
    bool error = false;
    uint8_t error_result = 0;
    bool corrupt = false;
    uint32_t corrupt_offset = 0;
    bool no_erase = false;
};

enum class FrameFault : uint8_t { kNone, kFailWrite, kUnplug };

// An ordered set of rules. It keeps no counts: the device tells it which occasion it is at.
class FaultSchedule {
  public:
    FaultSchedule() = default;
    explicit FaultSchedule(std::vector<FaultRule> rules) : rules_(std::move(rules)) {}

    void add(const FaultRule &rule) { rules_.push_back(rule); }
    const std::vector<FaultRule> &rules() const { return rules_; }
    bool empty() const { return rules_.empty(); }

    // Faults for the answer that is the nth_of_command-th answer to command and the nth_overall-th
    // answer of all. When several rules hit, drop beats dup and delay, the longest delay counts,
    // and the first error and the first corrupt rule win.
    AnswerFaults for_answer(uint8_t command, uint32_t nth_of_command, uint32_t nth_overall) const;
    // Fault for a frame, counted the same way over frames that reach the device; unplug beats
    // fail-write.
    FrameFault for_frame(uint8_t command, uint32_t nth_of_command, uint32_t nth_overall) const;

  private:
    std::vector<FaultRule> rules_;
};

// Parses one rule in the text form above. On failure returns false and says why in error.
bool parse_fault_rule(const std::string &text, FaultRule &out, std::string &error);
// The text form of a rule; parse_fault_rule reads it back to the same rule.
std::string format_fault_rule(const FaultRule &rule);
// Parses every text into one schedule, in order; the error names the rule that failed.
bool parse_fault_schedule(const std::vector<std::string> &texts, FaultSchedule &out,
                          std::string &error);

}  // namespace sim
