// What an update of two files will do, worked out from the inputs alone: ranges, sectors, pages,
// reports and the time they take. Printed by --dry-run and sent as the `plan` event.
#pragma once

#include <cstdint>
#include <string>

#include "host/inputs/input_files.h"

namespace host {

struct RangePlan {
    const char *file = "";       // "image" or "TTS"
    uint32_t file_length = 0;    // bytes in the file
    uint32_t rounded = 0;        // file length rounded up to 256
    uint32_t flash_addr = 0;     // first flash address programmed
    uint32_t size = 0;           // bytes programmed
    uint32_t sectors = 0;        // 4 KiB erases
    uint32_t pages = 0;          // 256-byte pages
    uint32_t blank_pages = 0;    // of those, pages of nothing but 0xFF (counted with --skip-blank)
    uint32_t blank_sectors = 0;  // sectors whose bytes after the update are all 0xFF (likewise)
};

// --skip-blank and --skip-unchanged: the programmed bytes of each range, to find the blank pages.
struct SendLess {
    bool skip_blank = false;
    bool skip_unchanged = false;
    const uint8_t *image = nullptr;  // the image's programmed bytes (from flash 0x8000)
    const uint8_t *tts = nullptr;
};

// What a plan sends with those options, in place of a full update.
struct LessSent {
    bool applies = false;  // --skip-blank (or --skip-unchanged) was given
    // The figures assume a device whose flash is erased with --skip-unchanged (one survey per
    // range, nothing erased); with --skip-blank alone they hold for any device.
    const char *assumes = "";
    uint32_t pages = 0;    // pages sent
    uint32_t erases = 0;   // sectors erased
    uint32_t surveys = 0;  // survey checksums asked for
    uint32_t reports = 0;
    double expected_seconds = 0;
};

struct UpdatePlan {
    std::string token;
    RangePlan image;
    RangePlan tts;
    bool overlap = false;
    uint32_t reports = 0;  // output reports of a run in which every step is answered at once
    double expected_seconds = 0;
    LessSent less;
};

UpdatePlan make_update_plan(uint32_t image_length, uint32_t tts_length, const std::string &token,
                            const SendLess &send = {});
// What --skip-blank and --skip-unchanged leave out of a plan, reading the loaded files from the
// host's buffers.
SendLess send_less_of(bool skip_blank, bool skip_unchanged);

// The time a plan takes over full-speed USB HID: one output report per 1 ms frame and a typical
// 45 ms per 4 KiB sector erase; the device's answers travel in the same frames.
double expected_seconds(uint32_t reports, uint32_t sectors);

// The plan as lines of text, as --dry-run prints it.
std::string describe_plan(const UpdatePlan &plan);

}  // namespace host
