// Refusing older firmware: a package's security counter and firmware version against what a
// board's records say it had. The counter is the vendor's floor, which nothing lifts; the version
// is only a guard against a mistake, which --allow-older lifts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/firmware_package.h"

namespace host {

// Two versions compared as semantic versions (MAJOR.MINOR.PATCH[-PRERELEASE][+BUILD]): less
// than 0, 0 or more than 0; nothing when either is not one.
std::optional<int> compare_versions(const std::string &a, const std::string &b);

// What the records say of a board's earlier successes.
struct EarlierFirmware {
    uint64_t highest_counter = 0;
    std::string firmware_version;  // the latest success's; "" when it carried none
};

struct OlderFirmwareVerdict {
    std::string refusal;  // why the package must not go onto the board; "" when it may
    std::string note;     // what could not be compared, for standard error; "" for nothing
};

// The package's firmware version and security counter, as --dry-run prints them.
std::string describe_versions(const formats::Manifest &m);

// The package `m` against the board's earlier firmware.
OlderFirmwareVerdict judge_older_firmware(const formats::Manifest &m,
                                          const EarlierFirmware &earlier, bool allow_older);

}  // namespace host
