#include <cstring>

#include "console/console.h"
#include "engine/iap.h"

namespace {

void put_u16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v) {
    put_u16(p, v);
    put_u16(p + 2, v >> 16);
}

// Flash address of the page being written.
uint32_t current_flash_addr(const iap_env_t *iap) {
    return iap->iap_addr + iap->iap_offset;
}

// Value of the byte that pads each page-buffer chunk; the device never sees it for a full chunk.
constexpr uint8_t kChunkTrailer = 0x00;

}  // namespace

uint16_t crc16_compute(const uint8_t *p_data, uint32_t size, const uint16_t *p_crc) {
    uint16_t crc = (p_crc == nullptr) ? 0xFFFF : *p_crc;
    for (uint32_t i = 0; i < size; i++) {
        crc = static_cast<uint16_t>((crc >> 8) | (crc << 8));
        crc ^= p_data[i];
        crc ^= static_cast<uint16_t>((crc & 0xFF) >> 4);
        crc ^= static_cast<uint16_t>(crc << 12);
        crc ^= static_cast<uint16_t>((crc & 0xFF) << 5);
    }
    return crc;
}

void iap_command_tx(iap_env_t *iap, uint32_t command, uint8_t *p_dat, int len) {
    uint8_t frame[IAP_FRAME_MAX];
    // The work area bounds the payload; no sender comes near it, but a bad length must not
    // write past the frame.
    if (len < 0 || static_cast<uint32_t>(len) + 6 > IAP_FRAME_MAX) {
        return;
    }
    frame[0] = IAP_FRAME_HEAD;
    put_u16(frame + 1, static_cast<uint32_t>(len) + 6);
    frame[3] = static_cast<uint8_t>(command);
    uint32_t body = 4;
    if (len != 0 && p_dat != nullptr) {
        std::memcpy(frame + 4, p_dat, static_cast<size_t>(len));
        body += static_cast<uint32_t>(len);
    }
    put_u16(frame + body, crc16_compute(frame, body, nullptr));
    iap->iap_cmd_tx(frame, static_cast<int>(body + 2));
}

void iap_flash_unlock(iap_env_t *iap) {
    iap->tick_cnt = IAP_TICKS_STEP;
    console_printf("[IAP]: ");
    console_printf("flash unlock\r\n");
    iap_command_tx(iap, IAP_CMD_FLASH_UNLOCK, nullptr, 0);
}

void iap_flash_lock(iap_env_t *iap) {
    iap->tick_cnt = IAP_TICKS_STEP;
    console_printf("[IAP]: ");
    console_printf("flash lock\r\n");
    iap_command_tx(iap, IAP_CMD_FLASH_LOCK, nullptr, 0);
}

void iap_flash_reboot(iap_env_t *iap) {
    iap->tick_cnt = IAP_TICKS_STEP;
    console_printf("[IAP]: ");
    console_printf("flash reboot\r\n");
    iap_command_tx(iap, IAP_CMD_FLASH_REBOOT, nullptr, 0);
}

void iap_flash_erase(iap_env_t *iap) {
    const uint32_t a = current_flash_addr(iap);
    // Compared in 64 bits so an address near 4 GiB cannot wrap past the limit.
    if (iap->state != IAP_ST_FLASH_ERASE ||
        static_cast<uint64_t>(a) + IAP_SECTOR_SIZE > IAP_FLASH_END) {
        return;
    }
    console_printf("[IAP]: ");
    console_printf("Erase @ 0x%08x\r\n", a);
    iap->tick_cnt = IAP_TICKS_STEP;
    uint8_t payload[4];
    put_u32(payload, a);
    iap_command_tx(iap, IAP_CMD_FLASH_ERASE, payload, sizeof payload);
}

void iap_flash_write_page_buf(iap_env_t *iap) {
    const uint32_t a = current_flash_addr(iap);
    if (a > IAP_FLASH_END) {
        return;
    }
    uint8_t payload[4 + 2 + IAP_CHUNK_MAX + 1];
    uint8_t page_offset = 0;
    for (uint32_t chunk = 0; chunk < IAP_CHUNKS_PER_PAGE; chunk++) {
        const uint64_t done = static_cast<uint64_t>(iap->iap_offset) + page_offset;
        if (done >= iap->size) {
            break;
        }
        uint32_t c = static_cast<uint32_t>(iap->size - done);
        if (c > IAP_CHUNK_MAX) {
            c = IAP_CHUNK_MAX;
        }
        if (page_offset + c > IAP_PAGE_SIZE) {
            c = IAP_PAGE_SIZE - page_offset;
        }
        put_u32(payload, a + page_offset);
        put_u16(payload + 4, c);
        std::memcpy(payload + 6, iap->local_img_buf + iap->addr + iap->iap_offset + page_offset, c);
        payload[6 + c] = kChunkTrailer;
        iap_command_tx(iap, IAP_CMD_FLASH_WRITE_PAGE_BUF, payload, static_cast<int>(c + 7));
        page_offset = static_cast<uint8_t>(page_offset + c);
    }
    iap->tick_cnt = IAP_TICKS_STEP;
}

void iap_flash_write_page(iap_env_t *iap) {
    const uint32_t a = current_flash_addr(iap);
    if (static_cast<uint64_t>(a) + IAP_PAGE_SIZE > IAP_FLASH_END || iap->iap_offset >= iap->size) {
        return;
    }
    uint32_t n = iap->size - iap->iap_offset;
    if (n > IAP_PAGE_SIZE) {
        n = IAP_PAGE_SIZE;
    }
    uint8_t payload[4 + 2 + IAP_PAGE_SIZE];
    put_u32(payload, a);
    put_u16(payload + 4, n);
    std::memcpy(payload + 6, iap->local_img_buf + iap->addr + iap->iap_offset, n);
    iap->tick_cnt = IAP_TICKS_STEP;
    iap_command_tx(iap, IAP_CMD_FLASH_WRITE, payload, static_cast<int>(n + 6));
}

void iap_flash_check(iap_env_t *iap) {
    iap->tick_cnt = IAP_TICKS_CHECK;
    console_printf("[IAP]: ");
    console_printf("flash check from %08x, size %d \r\n", iap->iap_addr,
                   static_cast<int>(iap->size));
    uint8_t payload[8];
    put_u32(payload, iap->iap_addr);
    put_u32(payload + 4, iap->size);
    iap_command_tx(iap, IAP_CMD_FLASH_CHECK, payload, sizeof payload);
}
