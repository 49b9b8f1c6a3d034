// Skipping blank pages: an erased page already reads 0xFF, so a page of nothing but 0xFF need not
// be sent into a sector that was just erased or that reads as erased. The range's check still
// proves the whole range, so a device that does not hold 0xFF there fails the check.
#include "engine/iap.h"

namespace {

bool all_erased(const uint8_t *p, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        if (p[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool iap_page_blank(const iap_env_t *iap, uint32_t offset) {
    if (offset >= iap->size) {
        return false;
    }
    const uint32_t left = iap->size - offset;
    return all_erased(iap->local_img_buf + iap->addr + offset,
                      left < IAP_PAGE_SIZE ? left : IAP_PAGE_SIZE);
}

bool iap_pass_blank_pages(iap_env_t *iap) {
    if (iap->skip_blank == 0) {
        return iap->iap_offset < iap->size;
    }
    const uint64_t sector_end =
        uint64_t{iap->iap_offset & ~(IAP_SECTOR_SIZE - 1)} + IAP_SECTOR_SIZE;
    const uint32_t end = sector_end < iap->size ? static_cast<uint32_t>(sector_end) : iap->size;
    while (iap->iap_offset < end && iap_page_blank(iap, iap->iap_offset)) {
        iap->iap_offset += IAP_PAGE_SIZE;
    }
    return iap->iap_offset < end;
}

uint32_t iap_count_blank_pages(const uint8_t *data, uint32_t size) {
    uint32_t blank = 0;
    for (uint32_t offset = 0; offset < size; offset += IAP_PAGE_SIZE) {
        const uint32_t n = size - offset < IAP_PAGE_SIZE ? size - offset : IAP_PAGE_SIZE;
        blank += all_erased(data + offset, n) ? 1 : 0;
    }
    return blank;
}
