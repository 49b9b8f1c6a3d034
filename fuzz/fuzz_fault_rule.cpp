// Fuzzes the fault-rule text form: any text either parses or is refused with a reason, and every
// rule that parses prints as text that parses back to the same rule and prints the same again.
#include <cstdint>
#include <string>

#include "device/fault_rules.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    sim::FaultRule rule;
    std::string error;
    if (!sim::parse_fault_rule(text, rule, error)) {
        FUZZ_CHECK(!error.empty(), "'%s' refused without a reason", text.c_str());
        return 0;
    }
    FUZZ_CHECK(rule.nth >= 1, "'%s' parsed with N = 0", text.c_str());
    FUZZ_CHECK(rule.command <= sim::kAnyCommand, "'%s' parsed with command 0x%x", text.c_str(),
               rule.command);
    const std::string printed = sim::format_fault_rule(rule);
    sim::FaultRule again;
    FUZZ_CHECK(sim::parse_fault_rule(printed, again, error),
               "'%s' prints as '%s', which does not parse: %s", text.c_str(), printed.c_str(),
               error.c_str());
    FUZZ_CHECK(again == rule, "'%s' prints as '%s', which parses to another rule", text.c_str(),
               printed.c_str());
    FUZZ_CHECK(sim::format_fault_rule(again) == printed, "'%s' prints differently the second time",
               printed.c_str());
    return 0;
}
