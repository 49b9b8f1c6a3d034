// Exit statuses of the tool, so scripts can tell a verified device from everything else.
#pragma once

namespace host {

constexpr int kExitSuccess = 0;     // the update ended in success: every range verified, rebooted
constexpr int kExitFailed = 1;      // time-out, error outcome, checksum mismatch
constexpr int kExitBadInput = 2;    // bad command line or unusable input files
constexpr int kExitNoDevice = 3;    // no device with the tool's vendor and product ID
constexpr int kExitPermission = 4;  // the device is present but may not be opened
// 70, a fault of the program itself, is the platform's kExitInternalError (host/platform/env.h).

}  // namespace host
