#include "host/inputs/update_plan.h"

#include "base/text.h"
#include "engine/iap.h"
#include "formats/shown_text.h"
#include "globals/iap_globals.h"

namespace host {

namespace {

using formats::shown;

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

void count_blank(RangePlan &r, const uint8_t *data) {
    if (data == nullptr) {
        return;
    }
    r.blank_pages = iap_count_blank_pages(data, r.size);
    for (uint32_t s = 0; s < r.sectors; s++) {
        const uint32_t at = s * IAP_SECTOR_SIZE;
        const uint32_t n = r.size - at < IAP_SECTOR_SIZE ? r.size - at : IAP_SECTOR_SIZE;
        r.blank_sectors += iap_count_blank_pages(data + at, n) * IAP_PAGE_SIZE >= n ? 1 : 0;
    }
}

// With --skip-blank every sector is erased and the blank pages are not sent. With
// --skip-unchanged on an erased device, one survey per range finds it erased: nothing is erased,
// sectors that stay blank are left alone, and only the pages that are not blank are sent.
LessSent less_sent(const RangePlan &image, const RangePlan &tts, const SendLess &send) {
    LessSent l;
    if (!send.skip_blank && !send.skip_unchanged) {
        return l;
    }
    l.applies = true;
    l.assumes = send.skip_unchanged ? "erased device" : "any device";
    for (const RangePlan *r : {&image, &tts}) {
        l.pages += r->pages - r->blank_pages;
        l.erases += send.skip_unchanged ? 0 : r->sectors;
        l.surveys += send.skip_unchanged ? 1 : 0;
    }
    l.reports = 2 + l.surveys + l.erases + l.pages * IAP_CHUNKS_PER_PAGE + 2 + 1;
    l.expected_seconds = expected_seconds(l.reports, l.erases);
    return l;
}

}  // namespace

double expected_seconds(uint32_t reports, uint32_t sectors) {
    return reports * kSecondsPerReport + sectors * kSecondsPerErase;
}

UpdatePlan make_update_plan(uint32_t image_length, uint32_t tts_length, const std::string &token,
                            const SendLess &send) {
    const Layout l = compute_layout(image_length, tts_length, token);
    UpdatePlan p;
    p.token = token;
    p.image = plan_range("image", image_length, l.image_rounded, kImageStart, l.image_program);
    p.tts = plan_range("TTS", tts_length, l.tts_rounded, l.tts_addr, l.tts_rounded);
    p.overlap = l.overlap;
    p.reports = reports_of(p.image) + reports_of(p.tts) + 1;  // and the reboot
    p.expected_seconds = expected_seconds(p.reports, p.image.sectors + p.tts.sectors);
    if (send.skip_blank || send.skip_unchanged) {
        count_blank(p.image, send.image);
        count_blank(p.tts, send.tts);
    }
    p.less = less_sent(p.image, p.tts, send);
    return p;
}

SendLess send_less_of(bool skip_blank, bool skip_unchanged) {
    SendLess s;
    s.skip_blank = skip_blank;
    s.skip_unchanged = skip_unchanged;
    s.image = img_file + kImageStart;
    s.tts = tts_file;
    return s;
}

std::string describe_plan(const UpdatePlan &p) {
    std::string text = "Update plan (dry run: no device was opened)\n";
    for (const RangePlan *r : {&p.image, &p.tts}) {
        text += base::format(
            "  %-5s %u bytes, rounded to %u; programs %u bytes at flash "
            "0x%06x-0x%06x: %u sector%s, %u page%s\n",
            r->file, r->file_length, r->rounded, r->size, r->flash_addr, r->flash_addr + r->size,
            r->sectors, r->sectors == 1 ? "" : "s", r->pages, r->pages == 1 ? "" : "s");
    }
    text += base::format("  token '%s': TTS data at 0x%06x%s\n", shown(p.token).c_str(),
                         p.tts.flash_addr,
                         p.overlap ? " (overlaps the image; the TTS data is programmed last)" : "");
    const uint32_t sectors = p.image.sectors + p.tts.sectors;
    const uint32_t pages = p.image.pages + p.tts.pages;
    text += base::format(
        "  %u sectors to erase, %u pages to write, %u output reports "
        "(2 unlock, %u erase, %u page chunks, 2 check, 1 reboot)\n",
        sectors, pages, p.reports, sectors, pages * IAP_CHUNKS_PER_PAGE);
    text += base::format(
        "  expected time: %.2f s over full-speed USB HID (1 ms per report, 45 ms per "
        "4 KiB erase)\n",
        p.expected_seconds);
    if (p.less.applies) {
        text += base::format(
            "  blank (all 0xFF): %u of %u pages, %u of %u sectors; %s sends %u pages, "
            "%u output reports, %u erase%s%s\n",
            p.image.blank_pages + p.tts.blank_pages, pages,
            p.image.blank_sectors + p.tts.blank_sectors, sectors,
            p.less.surveys != 0 ? "--skip-unchanged" : "--skip-blank", p.less.pages, p.less.reports,
            p.less.erases, p.less.erases == 1 ? "" : "s", p.less.surveys != 0 ? ", 2 surveys" : "");
        text +=
            base::format("  expected time with it: %.2f s (%s)\n", p.less.expected_seconds,
                         p.less.surveys != 0 ? "on an erased device; more where the flash differs"
                                             : "on any device: every sector is still erased");
    }
    return text;
}

}  // namespace host
