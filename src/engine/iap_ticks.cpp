#include "console/console.h"
#include "engine/iap.h"

uint32_t iap_flash_write_timeout_handle(iap_env_t *iap) {
    iap->iap_offset &= ~(IAP_SECTOR_SIZE - 1);
    iap->state_change = 1;
    iap->attempt = IAP_RETRIES;
    iap->state = IAP_ST_FLASH_ERASE;
    iap_flash_erase(iap);
    console_printf("[IAP]: ");
    console_printf("IAP_ST_FLASH_WRITE time out\r\n");
    iap->state_change = 0;
    return 0;
}

uint32_t iap_timer_callback(iap_env_t *iap) {
    if (iap->state == IAP_ST_IDLE) {
        return 0;
    }
    if (iap->state_change != 0) {
        return 1;
    }
    if (iap_send_deferred_check(iap)) {
        return 0;
    }
    if (iap->tick_cnt != 0) {
        iap->tick_cnt--;
        return 0;
    }
    if (iap->attempt == 0) {
        if (iap->iap_evnet_callback != nullptr) {
            iap->iap_evnet_callback(IAP_EVT_CMD_RX_TIMEOUT);
        }
        iap->state = IAP_ST_IDLE;
        return 0;
    }
    iap->attempt--;
    switch (iap->state) {
        case IAP_ST_FLASH_UNLOCK:
            iap_flash_unlock(iap);
            break;
        case IAP_ST_FLASH_ERASE:
            iap_flash_erase(iap);
            break;
        case IAP_ST_FLASH_WRITE:
            iap_flash_write_timeout_handle(iap);
            break;
        case IAP_ST_FLASH_WRITE_PAGE_BUF:
            // Chunks are never resent: the retry is only spent.
            break;
        case IAP_ST_FLASH_CHECK:
            iap_flash_check(iap);
            break;
        case IAP_ST_FLASH_LOCK:
            iap_flash_lock(iap);
            break;
        case IAP_ST_FLASH_REBOOT:
            iap_flash_reboot(iap);
            break;
        case IAP_ST_FLASH_SURVEY_RANGE:
            iap_flash_survey_range(iap);
            break;
        case IAP_ST_FLASH_SURVEY_SECTOR:
            iap_flash_survey_sector(iap);
            break;
        case IAP_ST_FLASH_VERIFY_RANGE:
            iap_flash_verify_range(iap);
            break;
        case IAP_ST_FLASH_VERIFY_SECTOR:
            iap_flash_verify_sector(iap);
            break;
        default:
            break;
    }
    return 0;
}
