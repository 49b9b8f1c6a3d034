#include "device/device_commands.h"

#include <array>
#include <utility>

namespace sim {

namespace {

constexpr std::array<std::pair<const char *, uint8_t>, 7> kNames = {{
    {"unlock", kCmdUnlock},
    {"lock", kCmdLock},
    {"erase", kCmdErase},
    {"write", kCmdWrite},
    {"page", kCmdPage},
    {"check", kCmdCheck},
    {"reboot", kCmdReboot},
}};

}  // namespace

std::string command_name(uint8_t command) {
    for (const auto &entry : kNames) {
        if (entry.second == command) {
            return entry.first;
        }
    }
    return std::string();
}

bool command_from_name(const std::string &name, uint8_t &command) {
    for (const auto &entry : kNames) {
        if (name == entry.first) {
            command = entry.second;
            return true;
        }
    }
    return false;
}

}  // namespace sim
