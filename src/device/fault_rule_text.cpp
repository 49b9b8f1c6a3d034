// Text form of fault rules: KIND:COMMAND:N[:ARG] (see fault_rules.h).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

#include "device/device_commands.h"
#include "device/fault_rules.h"

namespace sim {

namespace {

struct KindName {
    FaultKind kind;
    const char *name;
};

constexpr KindName kKinds[] = {
    {FaultKind::kDrop, "drop"},
    {FaultKind::kError, "error"},
    {FaultKind::kDup, "dup"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kCorrupt, "corrupt"},
    {FaultKind::kUnplug, "unplug"},
    {FaultKind::kFailWrite, "fail-write"},
    {FaultKind::kNoErase, "no-erase"},
};

const char *kind_name(FaultKind kind) {
    for (const KindName &k : kKinds) {
        if (k.kind == kind) {
            return k.name;
        }
    }
    return "?";
}

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Decimal, or hex with a 0x prefix; digits only, no sign, no spaces, no overflow past uint32.
bool parse_u32(const std::string &text, uint32_t &out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() == first) {
        return false;
    }
    const uint64_t base = hex ? 16 : 10;
    uint64_t value = 0;
    for (size_t i = first; i < text.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        uint64_t digit;
        if (std::isdigit(c)) {
            digit = c - '0';
        } else if (hex && std::isxdigit(c)) {
            digit = static_cast<uint64_t>(std::tolower(c) - 'a' + 10);
        } else {
            return false;
        }
        value = value * base + digit;
        if (value > std::numeric_limits<uint32_t>::max()) {
            return false;
        }
    }
    out = static_cast<uint32_t>(value);
    return true;
}

bool parse_command(const std::string &text, uint16_t &out) {
    const std::string name = lower(text);
    if (name == "any") {
        out = kAnyCommand;
        return true;
    }
    uint8_t code = 0;
    if (command_from_name(name, code)) {
        out = code;
        return true;
    }
    uint32_t value = 0;
    if (name.size() > 2 && name.size() <= 4 && name.compare(0, 2, "0x") == 0 &&
        parse_u32(name, value)) {
        out = static_cast<uint16_t>(value);
        return true;
    }
    return false;
}

bool takes_arg(FaultKind kind) {
    return kind == FaultKind::kError || kind == FaultKind::kDelay || kind == FaultKind::kCorrupt;
}

bool fail(std::string &error, const std::string &text, const std::string &why) {
    error = "bad fault rule '" + text + "': " + why;
    return false;
}

}  // namespace

bool parse_fault_rule(const std::string &text, FaultRule &out, std::string &error) {
    const std::vector<std::string> fields = split(text, ':');
    if (fields.size() < 3 || fields.size() > 4) {
        return fail(error, text, "expected KIND:COMMAND:N[:ARG]");
    }
    FaultRule rule;
    const std::string kind = lower(fields[0]);
    const auto found = std::find_if(std::begin(kKinds), std::end(kKinds),
                                    [&](const KindName &k) { return kind == k.name; });
    if (found == std::end(kKinds)) {
        return fail(error, text,
                    "unknown kind '" + fields[0] +
                        "' (use drop, error, dup, delay, corrupt, unplug, fail-write or no-erase)");
    }
    rule.kind = found->kind;
    if (!parse_command(fields[1], rule.command)) {
        return fail(error, text,
                    "unknown command '" + fields[1] +
                        "' (use unlock, lock, erase, write, page, check, reboot, any or a hex "
                        "code such as 0x93)");
    }
    if (!parse_u32(fields[2], rule.nth) || rule.nth == 0) {
        return fail(error, text, "N must be a whole number from 1 up, got '" + fields[2] + "'");
    }
    const bool has_arg = fields.size() == 4;
    if (has_arg && !takes_arg(rule.kind)) {
        return fail(error, text, std::string(kind_name(rule.kind)) + " takes no ARG");
    }
    uint32_t arg = 0;
    if (has_arg && !parse_u32(fields[3], arg)) {
        return fail(error, text, "ARG must be a whole number, got '" + fields[3] + "'");
    }
    switch (rule.kind) {
        case FaultKind::kError:
            if (!has_arg) {
                arg = kDefaultErrorResult;
            } else if (arg == 0 || arg > 0xFF) {
                return fail(error, text, "error result must be 1..255 (0 would read as success)");
            }
            break;
        case FaultKind::kDelay:
            if (!has_arg || arg == 0) {
                return fail(error, text, "delay needs ARG, the number of ticks to hold (1 up)");
            }
            break;
        case FaultKind::kCorrupt:
            // Only a programmed page or write leaves flash to corrupt.
            if (rule.command != kCmdWrite && rule.command != kCmdPage) {
                return fail(error, text, "corrupt applies only to write and page (0x84, 0x93)");
            }
            if (arg > 0xFF) {
                return fail(error, text, "corrupt offset must be 0..255 within the page");
            }
            break;
        case FaultKind::kNoErase:
            if (rule.command != kCmdErase) {
                return fail(error, text, "no-erase applies only to erase (0x83)");
            }
            break;
        default:
            break;
    }
    rule.arg = arg;
    out = rule;
    return true;
}

std::string format_fault_rule(const FaultRule &rule) {
    std::string text = kind_name(rule.kind);
    text += ':';
    if (rule.command == kAnyCommand) {
        text += "any";
    } else {
        const std::string name = command_name(static_cast<uint8_t>(rule.command));
        if (!name.empty()) {
            text += name;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(rule.command & 0xFF));
            text += hex;
        }
    }
    text += ':' + std::to_string(rule.nth);
    if (rule.kind == FaultKind::kError) {
        const uint32_t result = (rule.arg == 0 || rule.arg > 0xFF) ? kDefaultErrorResult : rule.arg;
        char hex[8];
        std::snprintf(hex, sizeof hex, ":0x%02x", static_cast<unsigned>(result));
        text += hex;
    } else if (rule.kind == FaultKind::kDelay || rule.kind == FaultKind::kCorrupt) {
        text += ':' + std::to_string(rule.arg);
    }
    return text;
}

bool parse_fault_schedule(const std::vector<std::string> &texts, FaultSchedule &out,
                          std::string &error) {
    FaultSchedule schedule;
    for (const std::string &text : texts) {
        FaultRule rule;
        if (!parse_fault_rule(text, rule, error)) {
            return false;
        }
        schedule.add(rule);
    }
    out = schedule;
    return true;
}

}  // namespace sim
