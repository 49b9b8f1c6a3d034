#include "console/console.h"
#include "engine/iap.h"

void iap_init(iap_env_t *iap, iap_cmd_tx_t cmd_tx, iap_evnet_callback_t evt_cb) {
    iap->state = IAP_ST_IDLE;
    iap->update_done_num = 0;
    iap->update_fire_flag = 0;
    iap->iap_cmd_tx = cmd_tx;
    iap->iap_evnet_callback = evt_cb;
    for (iap_survey_t &survey : iap->survey) {
        survey = iap_survey_t{};
    }
}

uint32_t iap_start(iap_env_t *iap, uint32_t addr, uint32_t size, uint32_t iap_addr) {
    if ((addr & (IAP_SECTOR_SIZE - 1)) != 0) {
        console_printf("[IAP]: ");
        console_printf("Invalid start address %08x!", addr);
        return 1;
    }
    if (iap->state != IAP_ST_IDLE) {
        console_printf("[IAP]: ");
        console_printf("IAP is busy!");
        return 1;
    }
    iap->state_change = 1;
    iap->addr = addr;
    iap->size = size;
    iap->state = IAP_ST_FLASH_UNLOCK;
    iap->iap_addr = iap_addr;
    iap->iap_offset = 0;
    iap->crc_flag = IAP_CRC_IDLE;
    iap->attempt = IAP_RETRIES;
    iap->sector_plan = 0;
    iap_flash_unlock(iap);
    iap->state_change = 0;
    return 1;
}

void iap_stop(iap_env_t *iap) {
    iap->state = IAP_ST_IDLE;
}
