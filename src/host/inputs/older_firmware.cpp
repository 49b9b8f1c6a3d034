#include "host/inputs/older_firmware.h"

#include <vector>

#include "formats/shown_text.h"

namespace host {

namespace {

using formats::shown;

bool all_digits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// A numeric identifier: digits without a leading zero.
bool numeric(const std::string &s) {
    return all_digits(s) && (s.size() == 1 || s[0] != '0');
}

std::vector<std::string> split(const std::string &s, char by) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(by, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

struct SemVer {
    std::vector<std::string> core;  // three numeric identifiers
    std::vector<std::string> pre;   // empty: a release
};

bool valid_identifier(const std::string &s) {
    return !s.empty() &&
           s.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-") ==
               std::string::npos;
}

std::optional<SemVer> parse(const std::string &text) {
    std::string s = text.substr(0, text.find('+'));
    if (text.find('+') != std::string::npos) {
        for (const std::string &b : split(text.substr(text.find('+') + 1), '.')) {
            if (!valid_identifier(b)) {
                return std::nullopt;
            }
        }
    }
    SemVer v;
    const size_t dash = s.find('-');
    if (dash != std::string::npos) {
        v.pre = split(s.substr(dash + 1), '.');
        for (const std::string &p : v.pre) {
            if (!valid_identifier(p) || (all_digits(p) && !numeric(p))) {
                return std::nullopt;
            }
        }
        s = s.substr(0, dash);
    }
    v.core = split(s, '.');
    if (v.core.size() != 3) {
        return std::nullopt;
    }
    for (const std::string &c : v.core) {
        if (!numeric(c) || c.size() > 18) {
            return std::nullopt;
        }
    }
    return v;
}

int compare_numbers(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a < b ? -1 : a > b ? 1 : 0;
}

}  // namespace

std::optional<int> compare_versions(const std::string &a, const std::string &b) {
    const std::optional<SemVer> x = parse(a);
    const std::optional<SemVer> y = parse(b);
    if (!x || !y) {
        return std::nullopt;
    }
    for (size_t i = 0; i < 3; i++) {
        if (const int c = compare_numbers(x->core[i], y->core[i]); c != 0) {
            return c;
        }
    }
    // A pre-release comes before its release; identifiers compare one by one, numbers as
    // numbers and below words, and a shorter list first when all before are equal.
    if (x->pre.empty() || y->pre.empty()) {
        return x->pre.empty() == y->pre.empty() ? 0 : x->pre.empty() ? 1 : -1;
    }
    for (size_t i = 0; i < x->pre.size() && i < y->pre.size(); i++) {
        const std::string &p = x->pre[i];
        const std::string &q = y->pre[i];
        const bool pn = all_digits(p);
        const bool qn = all_digits(q);
        const int c = pn && qn ? compare_numbers(p, q) : pn != qn ? (pn ? -1 : 1) : p.compare(q);
        if (c != 0) {
            return c < 0 ? -1 : 1;
        }
    }
    return x->pre.size() == y->pre.size() ? 0 : x->pre.size() < y->pre.size() ? -1 : 1;
}

std::string describe_versions(const formats::Manifest &m) {
    return "  firmware version: " +
           (m.firmware_version.empty() ? std::string("-") : shown(m.firmware_version)) +
           ", security counter: " +
           (m.has_security_counter ? std::to_string(m.security_counter)
                                   : std::string("- (counts as 0)")) +
           "\n";
}

OlderFirmwareVerdict judge_older_firmware(const formats::Manifest &m,
                                          const EarlierFirmware &earlier, bool allow_older) {
    OlderFirmwareVerdict v;
    const uint64_t counter = m.has_security_counter ? m.security_counter : 0;
    if (counter < earlier.highest_counter) {
        v.refusal = "downgrade: the package's security counter is " + std::to_string(counter) +
                    ", lower than " + std::to_string(earlier.highest_counter) +
                    ", the highest the board's records hold; older releases must no longer be "
                    "installed (--allow-older does not lift this)";
        return v;
    }
    if (m.firmware_version.empty() || earlier.firmware_version.empty()) {
        return v;
    }
    const std::optional<int> order = compare_versions(m.firmware_version, earlier.firmware_version);
    if (!order) {
        v.note = "the firmware versions '" + shown(m.firmware_version) + "' (the package) and '" +
                 shown(earlier.firmware_version) +
                 "' (the board's records) are not both semantic versions; not compared";
    } else if (*order < 0 && !allow_older) {
        v.refusal = "downgrade: the package's firmware version " + shown(m.firmware_version) +
                    " is older than " + shown(earlier.firmware_version) +
                    ", which the board's records say it had; --allow-older lets it run";
    }
    return v;
}

}  // namespace host
