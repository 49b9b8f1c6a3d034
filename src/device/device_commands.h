// Command codes the simulated device understands and the names the fault rules use for them. The
// device keeps its own copy of the wire constants so that it does not share mistakes with the host.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr uint8_t kFrameHead = 0xA5;
constexpr uint8_t kAnswerMark = 0x80;

constexpr uint8_t kCmdLock = 0x81;
constexpr uint8_t kCmdUnlock = 0x82;
constexpr uint8_t kCmdErase = 0x83;
constexpr uint8_t kCmdWrite = 0x84;
constexpr uint8_t kCmdReboot = 0x86;
constexpr uint8_t kCmdCheck = 0x91;
constexpr uint8_t kCmdPage = 0x93;

// Name used in fault rules ("unlock", "page", ...), or an empty string for an unnamed code.
std::string command_name(uint8_t command);
// Code for a name used in fault rules; false when the name is not one of them.
bool command_from_name(const std::string &name, uint8_t &command);

}  // namespace sim
