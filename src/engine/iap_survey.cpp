// Skipping unchanged sectors: before a range is erased, the device's checksum of the sectors the
// range touches is compared with what a full update would leave there. The unit is always the
// whole sector, so the flash ends up exactly as after a full update; the range's own check, the
// chaining to the next range and the reboot are unchanged. A sector that differs but reads as
// erased is programmed without an erase: the erase would change nothing.
#include <cstring>

#include "console/console.h"
#include "engine/iap.h"

namespace {

// Continues a running CRC over n bytes of 0xFF: what an erased cell reads.
uint32_t crc_of_erased(uint32_t crc, uint32_t n) {
    static const uint8_t erased[IAP_PAGE_SIZE] = {
#define FF16 \
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
        FF16, FF16, FF16, FF16, FF16, FF16, FF16, FF16,
        FF16, FF16, FF16, FF16, FF16, FF16, FF16, FF16,
#undef FF16
    };
    while (n != 0) {
        const uint32_t step = n < IAP_PAGE_SIZE ? n : IAP_PAGE_SIZE;
        crc = iap_calculate_CRC32(crc, erased, step);
        n -= step;
    }
    return crc;
}

void set_bit(uint32_t *bits, uint32_t sector, bool on) {
    const uint32_t bit = 1u << (sector % 32);
    if (on) {
        bits[sector / 32] |= bit;
    } else {
        bits[sector / 32] &= ~bit;
    }
}

bool bit_set(const uint32_t *bits, uint32_t sector) {
    return (bits[sector / 32] >> (sector % 32) & 1u) != 0;
}

void mark(iap_env_t *iap, uint32_t sector, bool differs) {
    set_bit(iap->sector_differs, sector, differs);
}

bool marked(const iap_env_t *iap, uint32_t sector) {
    return bit_set(iap->sector_differs, sector);
}

// Records and prints what the survey of the current range found, then programs what differs.
void conclude_survey(iap_env_t *iap) {
    const uint32_t sectors = iap_survey_sectors(iap);
    uint32_t unchanged = 0;
    for (uint32_t s = 0; s < sectors; s++) {
        unchanged += marked(iap, s) ? 0 : 1;
    }
    const uint32_t range =
        iap->update_done_num < IAP_SURVEY_RANGES ? iap->update_done_num : IAP_SURVEY_RANGES - 1;
    iap->survey[range].flash_addr = iap->iap_addr;
    iap->survey[range].sectors = static_cast<uint16_t>(sectors);
    iap->survey[range].unchanged = static_cast<uint16_t>(unchanged);
    iap->survey[range].done = 1;
    console_printf("[IAP]: ");
    console_printf("%u of %u sectors unchanged from 0x%08x, skipped\r\n", unchanged, sectors,
                   iap->iap_addr);
    iap->sector_plan = 1;
    iap_program_changed_from(iap, 0);
}

}  // namespace

uint32_t iap_answer_crc(const uint8_t *p_dat) {
    return static_cast<uint32_t>(p_dat[6]) | static_cast<uint32_t>(p_dat[7]) << 8 |
           static_cast<uint32_t>(p_dat[8]) << 16 | static_cast<uint32_t>(p_dat[9]) << 24;
}

// CRC-32 of [offset, offset + len) of the range as a full update leaves it in flash: the range's
// bytes, then 0xFF up to the end of its last sector, which a full update erases.
uint32_t iap_expected_crc(const iap_env_t *iap, uint32_t offset, uint32_t len) {
    uint32_t data = 0;
    if (offset < iap->size) {
        data = iap->size - offset < len ? iap->size - offset : len;
    }
    const uint32_t crc =
        iap_calculate_CRC32(0xFFFFFFFF, iap->local_img_buf + iap->addr + offset, data);
    return crc_of_erased(crc, len - data);
}

void iap_send_check(iap_env_t *iap, uint32_t start, uint32_t length) {
    uint8_t payload[8];
    for (int i = 0; i < 4; i++) {
        payload[i] = static_cast<uint8_t>(start >> (8 * i));
        payload[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    iap_command_tx(iap, IAP_CMD_FLASH_CHECK, payload, sizeof payload);
}

// A check that follows the answer to a check is sent a tick later: an answer the device sent
// twice, or the answer to the resend of the check just answered, is under way by then and
// arrives while no check is pending, where it is dropped instead of being taken for the next
// check's (which, for two ranges of the same checksum, would vouch for the wrong range).
void iap_defer_check(iap_env_t *iap) {
    iap->check_deferred = 1;
}

bool iap_check_answer_taken(const iap_env_t *iap, const uint8_t *p_dat) {
    return iap->check_deferred == 0 && p_dat[4] == IAP_CMD_FLASH_CHECK;
}

bool iap_send_deferred_check(iap_env_t *iap) {
    if (iap->check_deferred == 0) {
        return false;
    }
    iap->check_deferred = 0;
    switch (iap->state) {
        case IAP_ST_FLASH_SURVEY_RANGE:
            iap_flash_survey_range(iap);
            return true;
        case IAP_ST_FLASH_SURVEY_SECTOR:
            iap_flash_survey_sector(iap);
            return true;
        case IAP_ST_FLASH_VERIFY_RANGE:
            iap_flash_verify_range(iap);
            return true;
        case IAP_ST_FLASH_VERIFY_SECTOR:
            iap_flash_verify_sector(iap);
            return true;
        default:
            // Left over from a run that ended or was stopped in between: nothing to send.
            return false;
    }
}

bool iap_survey_applies(const iap_env_t *iap) {
    return iap->skip_unchanged != 0 && iap->size != 0 && iap->local_img_buf != nullptr &&
           (iap->iap_addr & (IAP_SECTOR_SIZE - 1)) == 0 &&
           static_cast<uint64_t>(iap->iap_addr) +
                   uint64_t{iap_survey_sectors(iap)} * IAP_SECTOR_SIZE <=
               IAP_FLASH_END;
}

uint32_t iap_survey_sectors(const iap_env_t *iap) {
    return static_cast<uint32_t>((uint64_t{iap->size} + IAP_SECTOR_SIZE - 1) / IAP_SECTOR_SIZE);
}

void iap_flash_survey_range(iap_env_t *iap) {
    const uint32_t length = iap_survey_sectors(iap) * IAP_SECTOR_SIZE;
    iap->tick_cnt = IAP_TICKS_CHECK;
    console_printf("[IAP]: ");
    console_printf("flash survey from %08x, size %d \r\n", iap->iap_addr, static_cast<int>(length));
    iap_send_check(iap, iap->iap_addr, length);
}

void iap_flash_survey_sector(iap_env_t *iap) {
    const uint32_t a = iap->iap_addr + uint32_t{iap->survey_sector} * IAP_SECTOR_SIZE;
    iap->tick_cnt = IAP_TICKS_CHECK;
    console_printf("[IAP]: ");
    console_printf("Survey @ 0x%08x\r\n", a);
    iap_send_check(iap, a, IAP_SECTOR_SIZE);
}

void iap_program_changed_from(iap_env_t *iap, uint32_t sector) {
    const uint32_t sectors = iap_survey_sectors(iap);
    iap->attempt = IAP_RETRIES;
    for (; sector < sectors; sector++) {
        if (!marked(iap, sector)) {
            continue;
        }
        iap->iap_offset = sector * IAP_SECTOR_SIZE;
        if (!bit_set(iap->sector_erased, sector)) {
            iap->state = IAP_ST_FLASH_ERASE;
            iap_flash_erase(iap);
            return;
        }
        if (iap_pass_blank_pages(iap)) {
            iap->state = IAP_ST_FLASH_WRITE_PAGE_BUF;
            iap_flash_write_page_buf(iap);
            return;
        }
    }
    iap->state = IAP_ST_FLASH_CHECK;
    iap_flash_check(iap);
}

uint32_t IAP_ST_FLASH_SURVEY_RANGE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int) {
    if (!iap_check_answer_taken(iap, p_dat)) {
        return 0;
    }
    const uint32_t sectors = iap_survey_sectors(iap);
    const uint32_t length = sectors * IAP_SECTOR_SIZE;
    const uint32_t rsp_crc = iap_answer_crc(p_dat);
    const bool unchanged = rsp_crc == iap_expected_crc(iap, 0, length);
    // A wholly erased range differs in every sector that holds data: no need to ask each one.
    const bool erased = !unchanged && rsp_crc == crc_of_erased(0xFFFFFFFF, length);
    iap->state_change = 1;
    std::memset(iap->sector_differs, 0, sizeof iap->sector_differs);
    std::memset(iap->sector_erased, 0, sizeof iap->sector_erased);
    if (unchanged) {
        conclude_survey(iap);
    } else if (erased) {
        const uint32_t erased_sector = crc_of_erased(0xFFFFFFFF, IAP_SECTOR_SIZE);
        for (uint32_t s = 0; s < sectors; s++) {
            mark(iap, s,
                 iap_expected_crc(iap, s * IAP_SECTOR_SIZE, IAP_SECTOR_SIZE) != erased_sector);
            set_bit(iap->sector_erased, s, true);
        }
        conclude_survey(iap);
    } else {
        iap->survey_sector = 0;
        iap->attempt = IAP_RETRIES;
        iap->state = IAP_ST_FLASH_SURVEY_SECTOR;
        iap_flash_survey_sector(iap);
    }
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_SURVEY_SECTOR_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int) {
    if (!iap_check_answer_taken(iap, p_dat)) {
        return 0;
    }
    const uint32_t sector = iap->survey_sector;
    const uint32_t rsp_crc = iap_answer_crc(p_dat);
    const bool differs =
        rsp_crc != iap_expected_crc(iap, sector * IAP_SECTOR_SIZE, IAP_SECTOR_SIZE);
    iap->state_change = 1;
    mark(iap, sector, differs);
    set_bit(iap->sector_erased, sector, rsp_crc == crc_of_erased(0xFFFFFFFF, IAP_SECTOR_SIZE));
    if (sector + 1 < iap_survey_sectors(iap)) {
        iap->survey_sector = static_cast<uint16_t>(sector + 1);
        iap->attempt = IAP_RETRIES;
        iap_flash_survey_sector(iap);
    } else {
        conclude_survey(iap);
    }
    iap->state_change = 0;
    return 0;
}
