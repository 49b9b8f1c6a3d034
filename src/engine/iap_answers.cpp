#include "console/console.h"
#include "engine/iap.h"

namespace {

// Bytes of an answer the engine looks at: 3 (answer mark), 4 (command), 5 (result), 6-9 (CRC).
constexpr int kAnswerBytesRead = 10;

void raise_event(iap_env_t *iap, iap_event_t evt) {
    if (iap->iap_evnet_callback != nullptr) {
        iap->iap_evnet_callback(evt);
    }
}

// With the position at a page to send (or at the end of a sector or of the range): verify when
// the range is done, erase at a sector boundary, otherwise send the page with the given sender.
void go_on(iap_env_t *iap, iap_state_t writing, void (*send_page)(iap_env_t *)) {
    const bool sector_done =
        iap->iap_offset >= iap->size || (iap->iap_offset & (IAP_SECTOR_SIZE - 1)) == 0;
    if (iap->sector_plan != 0 && sector_done) {
        // A surveyed range goes on with the next sector that differs, or to its check.
        iap_program_changed_from(iap, (iap->iap_offset + IAP_SECTOR_SIZE - 1) / IAP_SECTOR_SIZE);
    } else if (iap->iap_offset >= iap->size) {
        iap->state = IAP_ST_FLASH_CHECK;
        iap_flash_check(iap);
    } else if ((iap->iap_offset & (IAP_SECTOR_SIZE - 1)) == 0) {
        iap->state = IAP_ST_FLASH_ERASE;
        iap_flash_erase(iap);
    } else {
        iap->state = writing;
        send_page(iap);
    }
}

// After a page is acknowledged.
void advance_page(iap_env_t *iap, iap_state_t writing, void (*send_page)(iap_env_t *)) {
    iap->attempt = IAP_RETRIES;
    iap->iap_offset += IAP_PAGE_SIZE;
    // Blank pages are passed over only within the sector just written: the next one is erased
    // first.
    if (iap->iap_offset < iap->size && (iap->iap_offset & (IAP_SECTOR_SIZE - 1)) != 0) {
        iap_pass_blank_pages(iap);
    }
    go_on(iap, writing, send_page);
}

}  // namespace

uint32_t IAP_ST_FLASH_UNLOCK_rsp_handle(iap_env_t *iap, uint8_t *, int) {
    iap->state_change = 1;
    iap->attempt = IAP_RETRIES;
    iap->sector_plan = 0;
    if (iap_survey_applies(iap)) {
        iap->state = IAP_ST_FLASH_SURVEY_RANGE;
        iap->check_deferred = 0;
        iap_flash_survey_range(iap);
    } else {
        iap->state = IAP_ST_FLASH_ERASE;
        iap_flash_erase(iap);
    }
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_ERASE_rsp_handle(iap_env_t *iap, uint8_t *, int) {
    iap->state_change = 1;
    iap->attempt = IAP_RETRIES;
    iap->state = IAP_ST_FLASH_WRITE_PAGE_BUF;
    if (iap->skip_blank == 0 || iap_pass_blank_pages(iap)) {
        iap_flash_write_page_buf(iap);
    } else {
        // Every page of the sector is blank: the erase was all it needed.
        go_on(iap, IAP_ST_FLASH_WRITE_PAGE_BUF, iap_flash_write_page_buf);
    }
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_WRITE_PAGE_BUF_handle(iap_env_t *iap, uint8_t *, int) {
    iap->state_change = 1;
    advance_page(iap, IAP_ST_FLASH_WRITE_PAGE_BUF, iap_flash_write_page_buf);
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_WRITE_rsp_handle(iap_env_t *iap, uint8_t *, int) {
    iap->state_change = 1;
    advance_page(iap, IAP_ST_FLASH_WRITE, iap_flash_write_page);
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_CHECK_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int) {
    const uint32_t rsp_crc =
        static_cast<uint32_t>(p_dat[6]) | static_cast<uint32_t>(p_dat[7]) << 8 |
        static_cast<uint32_t>(p_dat[8]) << 16 | static_cast<uint32_t>(p_dat[9]) << 24;
    const uint32_t local_crc =
        iap_calculate_CRC32(0xFFFFFFFF, iap->local_img_buf + iap->addr, iap->size);
    console_printf("[IAP]: ");
    console_printf("Response CRC:%08x local_crc:%08x \r\n", rsp_crc, local_crc);
    if (rsp_crc != local_crc) {
        iap->crc_flag = IAP_CRC_FAIL;
        iap->state_change = 1;
        raise_event(iap, IAP_EVT_CMD_ERROR);
        iap->state = IAP_ST_IDLE;
        iap->state_change = 0;
        return 0;
    }
    iap->crc_flag = IAP_CRC_SUCCESS;
    iap->state_change = 1;
    iap->update_done_num++;
    if (iap->update_done_num == iap->update_file_num) {
        console_printf("[IAP]: ");
        console_printf("check done!update_done_num:%d\r\n", iap->update_done_num);
        iap->state = IAP_ST_FLASH_REBOOT;
        iap->attempt = IAP_RETRIES;
        iap_flash_reboot(iap);
    } else {
        iap->local_img_buf = tts_file;
        iap->local_img_buf_size = static_cast<int>(IAP_TTS_BUF_SIZE);
        iap->addr = 0;
        iap->size = static_cast<uint32_t>(tts_size);
        iap->iap_addr = is_1mb ? IAP_TTS_ADDR_1MB : IAP_TTS_ADDR_OTHER;
        iap->crc_flag = IAP_CRC_IDLE;
        iap->iap_offset = 0;
        iap->state = IAP_ST_FLASH_UNLOCK;
        iap->attempt = IAP_RETRIES;
        iap_flash_unlock(iap);
    }
    iap->state_change = 0;
    return 0;
}

uint32_t IAP_ST_FLASH_LOCK_rsp_handle(iap_env_t *iap, uint8_t *, int) {
    iap->state = IAP_ST_IDLE;
    return 0;
}

uint32_t IAP_ST_FLASH_REBOOT_rsp_handle(iap_env_t *iap, uint8_t *, int) {
    raise_event(iap, iap->crc_flag == IAP_CRC_SUCCESS ? IAP_EVT_SUCCESS : IAP_EVT_CMD_ERROR);
    iap->state = IAP_ST_IDLE;
    return 0;
}

void iap_rx_callback(iap_env_t *iap, uint8_t *p_dat, int len) {
    if (iap->state_change != 0) {
        return;
    }
    // A short answer reads as zeros past its end rather than past the caller's buffer.
    uint8_t answer[kAnswerBytesRead] = {};
    for (int i = 0; i < len && i < kAnswerBytesRead; i++) {
        answer[i] = p_dat[i];
    }
    if (answer[3] == IAP_CMD_RSP && answer[5] != 0) {
        console_printf("[IAP]: ");
        console_printf("Command %08x, RET %02x\r\n", static_cast<unsigned>(answer[4]),
                       static_cast<unsigned>(answer[5]));
        raise_event(iap, IAP_EVT_CMD_ERROR);
        return;
    }
    switch (iap->state) {
        case IAP_ST_FLASH_UNLOCK:
            IAP_ST_FLASH_UNLOCK_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_ERASE:
            IAP_ST_FLASH_ERASE_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_WRITE:
            IAP_ST_FLASH_WRITE_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_WRITE_PAGE_BUF:
            IAP_ST_FLASH_WRITE_PAGE_BUF_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_CHECK:
            IAP_ST_FLASH_CHECK_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_LOCK:
            IAP_ST_FLASH_LOCK_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_REBOOT:
            IAP_ST_FLASH_REBOOT_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_SURVEY_RANGE:
            IAP_ST_FLASH_SURVEY_RANGE_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_SURVEY_SECTOR:
            IAP_ST_FLASH_SURVEY_SECTOR_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_VERIFY_RANGE:
            IAP_ST_FLASH_VERIFY_RANGE_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_FLASH_VERIFY_SECTOR:
            IAP_ST_FLASH_VERIFY_SECTOR_rsp_handle(iap, answer, len);
            break;
        case IAP_ST_IDLE:
        default:
            break;
    }
}
