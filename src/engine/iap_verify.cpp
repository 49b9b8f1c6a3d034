// Verification without programming: the check command of each range, and nothing that changes
// the flash. A range that differs is asked sector by sector only with skip_unchanged, whose
// survey already relies on the device checking ranges it did not just program.
#include "console/console.h"
#include "engine/iap.h"

namespace {

iap_verify_t &current_range(iap_env_t *iap) {
    const uint32_t r =
        iap->update_done_num < IAP_SURVEY_RANGES ? iap->update_done_num : IAP_SURVEY_RANGES - 1;
    return iap->verify[r];
}

// The current range is decided: on to the next one, or the run's end.
void next_range(iap_env_t *iap) {
    current_range(iap).done = 1;
    iap->update_done_num++;
    iap->attempt = IAP_RETRIES;
    if (iap->update_done_num < iap->update_file_num) {
        iap->local_img_buf = tts_file;
        iap->local_img_buf_size = static_cast<int>(IAP_TTS_BUF_SIZE);
        iap->addr = 0;
        iap->size = static_cast<uint32_t>(tts_size);
        iap->iap_addr = is_1mb ? IAP_TTS_ADDR_1MB : IAP_TTS_ADDR_OTHER;
        iap->iap_offset = 0;
        iap->state = IAP_ST_FLASH_VERIFY_RANGE;
        iap_defer_check(iap);
        return;
    }
    bool all_match = true;
    for (uint32_t r = 0; r < iap->update_file_num && r < IAP_SURVEY_RANGES; r++) {
        all_match = all_match && iap->verify[r].match != 0;
    }
    iap->crc_flag = all_match ? IAP_CRC_SUCCESS : IAP_CRC_FAIL;
    console_printf("[IAP]: ");
    console_printf("verify done, %s\r\n", all_match ? "flash is current" : "flash differs");
    if (iap->iap_evnet_callback != nullptr) {
        iap->iap_evnet_callback(all_match ? IAP_EVT_SUCCESS : IAP_EVT_CMD_ERROR);
    }
    iap->state = IAP_ST_IDLE;
}

}  // namespace

uint32_t iap_verify_start(iap_env_t *iap, uint32_t addr, uint32_t size, uint32_t iap_addr) {
    if (iap->state != IAP_ST_IDLE) {
        console_printf("[IAP]: ");
        console_printf("IAP is busy!");
        return 1;
    }
    iap->state_change = 1;
    for (iap_verify_t &v : iap->verify) {
        v = iap_verify_t{};
    }
    iap->addr = addr;
    iap->size = size;
    iap->iap_addr = iap_addr;
    iap->iap_offset = 0;
    iap->crc_flag = IAP_CRC_IDLE;
    iap->attempt = IAP_RETRIES;
    iap->sector_plan = 0;
    iap->check_deferred = 0;
    iap->state = IAP_ST_FLASH_VERIFY_RANGE;
    iap_flash_verify_range(iap);
    iap->state_change = 0;
    return 1;
}

void iap_flash_verify_range(iap_env_t *iap) {
    iap->tick_cnt = IAP_TICKS_CHECK;
    console_printf("[IAP]: ");
    console_printf("flash verify from %08x, size %d \r\n", iap->iap_addr,
                   static_cast<int>(iap->size));
    iap_send_check(iap, iap->iap_addr, iap->size);
}

void iap_flash_verify_sector(iap_env_t *iap) {
    const uint32_t a = iap->iap_addr + uint32_t{iap->survey_sector} * IAP_SECTOR_SIZE;
    iap->tick_cnt = IAP_TICKS_CHECK;
    console_printf("[IAP]: ");
    console_printf("Verify @ 0x%08x\r\n", a);
    iap_send_check(iap, a, IAP_SECTOR_SIZE);
}

uint32_t IAP_ST_FLASH_VERIFY_RANGE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int) {
    if (!iap_check_answer_taken(iap, p_dat)) {
        return 0;
    }
    iap_verify_t &v = current_range(iap);
    v.flash_addr = iap->iap_addr;
    v.size = iap->size;
    v.device_crc = iap_answer_crc(p_dat);
    v.host_crc = iap_calculate_CRC32(0xFFFFFFFF, iap->local_img_buf + iap->addr, iap->size);
    v.match = v.device_crc == v.host_crc ? 1 : 0;
    console_printf("[IAP]: ");
    console_printf("Response CRC:%08x local_crc:%08x \r\n", v.device_crc, v.host_crc);
    iap->state_change = 1;
    if (v.match == 0 && iap_survey_applies(iap)) {
        v.sectors = static_cast<uint16_t>(iap_survey_sectors(iap));
        iap->survey_sector = 0;
        iap->attempt = IAP_RETRIES;
        iap->state = IAP_ST_FLASH_VERIFY_SECTOR;
        iap_defer_check(iap);
    } else {
        next_range(iap);
    }
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_VERIFY_SECTOR_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int) {
    if (!iap_check_answer_taken(iap, p_dat)) {
        return 0;
    }
    iap_verify_t &v = current_range(iap);
    const uint32_t sector = iap->survey_sector;
    iap->state_change = 1;
    if (iap_answer_crc(p_dat) != iap_expected_crc(iap, sector * IAP_SECTOR_SIZE, IAP_SECTOR_SIZE)) {
        v.sector_differs[sector / 32] |= 1u << (sector % 32);
        v.differing++;
    }
    if (sector + 1 < v.sectors) {
        iap->survey_sector = static_cast<uint16_t>(sector + 1);
        iap->attempt = IAP_RETRIES;
        iap_defer_check(iap);
    } else {
        console_printf("[IAP]: ");
        console_printf("%u of %u sectors differ from 0x%08x\r\n", unsigned{v.differing},
                       unsigned{v.sectors}, iap->iap_addr);
        next_range(iap);
    }
    iap->state_change = 0;
    return 0;
}
