// What an update of two files will do, worked out from the inputs alone: ranges, sectors, pages,
// reports and the time they take. Printed by --dry-run and sent as the `plan` event.
#pragma once

#include <cstdint>
#include <string>

#include "host/inputs/input_files.h"

namespace host {

struct RangePlan {
    const char *file = "";     // "image" or "TTS"
    uint32_t file_length = 0;  // bytes in the file
    uint32_t rounded = 0;      // file length rounded up to 256
    uint32_t flash_addr = 0;   // first flash address programmed
    uint32_t size = 0;         // bytes programmed
    uint32_t sectors = 0;      // 4 KiB erases
    uint32_t pages = 0;        // 256-byte pages
};

struct UpdatePlan {
    std::string token;
    RangePlan image;
    RangePlan tts;
    bool overlap = false;
    uint32_t reports = 0;  // output reports of a run in which every step is answered at once
    double expected_seconds = 0;
};

UpdatePlan make_update_plan(uint32_t image_length, uint32_t tts_length, const std::string &token);

// The time a plan takes over full-speed USB HID: one output report per 1 ms frame and a typical
// 45 ms per 4 KiB sector erase; the device's answers travel in the same frames.
double expected_seconds(uint32_t reports, uint32_t sectors);

// The plan as lines of text, as --dry-run prints it.
std::string describe_plan(const UpdatePlan &plan);

}  // namespace host
