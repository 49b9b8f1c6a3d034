#include "host/inputs/update_plan.h"

#include <cstdio>

#include "engine/iap.h"

namespace host {

namespace {

constexpr double kSecondsPerReport = 0.001;
constexpr double kSecondsPerErase = 0.045;

RangePlan plan_range(const char *file, uint32_t length, uint32_t rounded, uint32_t flash_addr,
                     uint32_t size) {
    RangePlan r;
    r.file = file;
    r.file_length = length;
    r.rounded = rounded;
    r.flash_addr = flash_addr;
    r.size = size;
    r.sectors = (size + IAP_SECTOR_SIZE - 1) / IAP_SECTOR_SIZE;
    r.pages = size / IAP_PAGE_SIZE;
    return r;
}

// Unlock, one erase per sector, five chunks per page (256 = 4 x 53 + 44), check.
uint32_t reports_of(const RangePlan &r) {
    return 1 + r.sectors + r.pages * IAP_CHUNKS_PER_PAGE + 1;
}

}  // namespace

double expected_seconds(uint32_t reports, uint32_t sectors) {
    return reports * kSecondsPerReport + sectors * kSecondsPerErase;
}

UpdatePlan make_update_plan(uint32_t image_length, uint32_t tts_length, const std::string &token) {
    const Layout l = compute_layout(image_length, tts_length, token);
    UpdatePlan p;
    p.token = token;
    p.image = plan_range("image", image_length, l.image_rounded, kImageStart, l.image_program);
    p.tts = plan_range("TTS", tts_length, l.tts_rounded, l.tts_addr, l.tts_rounded);
    p.overlap = l.overlap;
    p.reports = reports_of(p.image) + reports_of(p.tts) + 1;  // and the reboot
    p.expected_seconds = expected_seconds(p.reports, p.image.sectors + p.tts.sectors);
    return p;
}

std::string describe_plan(const UpdatePlan &p) {
    std::string text = "Update plan (dry run: no device was opened)\n";
    char line[256];
    for (const RangePlan *r : {&p.image, &p.tts}) {
        std::snprintf(line, sizeof line,
                      "  %-5s %u bytes, rounded to %u; programs %u bytes at flash "
                      "0x%06x-0x%06x: %u sector%s, %u page%s\n",
                      r->file, r->file_length, r->rounded, r->size, r->flash_addr,
                      r->flash_addr + r->size, r->sectors, r->sectors == 1 ? "" : "s", r->pages,
                      r->pages == 1 ? "" : "s");
        text += line;
    }
    std::snprintf(line, sizeof line, "  token '%s': TTS data at 0x%06x%s\n", p.token.c_str(),
                  p.tts.flash_addr,
                  p.overlap ? " (overlaps the image; the TTS data is programmed last)" : "");
    text += line;
    const uint32_t sectors = p.image.sectors + p.tts.sectors;
    const uint32_t pages = p.image.pages + p.tts.pages;
    std::snprintf(line, sizeof line,
                  "  %u sectors to erase, %u pages to write, %u output reports "
                  "(2 unlock, %u erase, %u page chunks, 2 check, 1 reboot)\n",
                  sectors, pages, p.reports, sectors, pages * IAP_CHUNKS_PER_PAGE);
    text += line;
    std::snprintf(line, sizeof line,
                  "  expected time: %.2f s over full-speed USB HID (1 ms per report, 45 ms per "
                  "4 KiB erase)\n",
                  p.expected_seconds);
    text += line;
    return text;
}

}  // namespace host
