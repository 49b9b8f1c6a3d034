// The IAP update engine: one record, driven by device answers (iap_rx_callback) and 10 ms ticks
// (iap_timer_callback), acting only through the transmit and event hooks stored in the record.
// It owns no thread, no clock and no I/O; callers must serialise the three entry points.
#pragma once

#include <cstdint>

enum iap_state_t : uint32_t {
    IAP_ST_IDLE = 0,
    IAP_ST_FLASH_UNLOCK = 1,
    IAP_ST_FLASH_ERASE = 2,
    IAP_ST_FLASH_WRITE = 3,
    IAP_ST_FLASH_WRITE_PAGE_BUF = 4,
    IAP_ST_FLASH_CHECK = 5,
    IAP_ST_FLASH_LOCK = 6,
    IAP_ST_FLASH_REBOOT = 7,
    // Only with skip_unchanged set: before a range is erased, the device is asked for the
    // checksum of every sector the range touches at once, then, when that differs, sector by
    // sector. Same budget, retries and time-out as the check.
    IAP_ST_FLASH_SURVEY_RANGE = 8,   // checksum of the range's whole sectors requested
    IAP_ST_FLASH_SURVEY_SECTOR = 9,  // checksum of one sector requested
};

enum iap_event_t : uint32_t {
    IAP_EVT_SUCCESS = 0,
    IAP_EVT_CMD_RX_TIMEOUT = 1,
    IAP_EVT_CMD_ERROR = 2,
};

enum iap_crc_t : uint32_t {
    IAP_CRC_IDLE = 0,
    IAP_CRC_SUCCESS = 1,
    IAP_CRC_FAIL = 2,
};

// Command codes of the request frame.
enum : uint8_t {
    IAP_FRAME_HEAD = 0xA5,
    IAP_CMD_RSP = 0x80,
    IAP_CMD_FLASH_LOCK = 0x81,
    IAP_CMD_FLASH_UNLOCK = 0x82,
    IAP_CMD_FLASH_ERASE = 0x83,
    IAP_CMD_FLASH_WRITE = 0x84,
    IAP_CMD_FLASH_REBOOT = 0x86,
    IAP_CMD_FLASH_CHECK = 0x91,
    IAP_CMD_FLASH_WRITE_PAGE_BUF = 0x93,
};

// Engine-wide constants.
constexpr uint32_t IAP_FLASH_END = 0x200000;
constexpr uint32_t IAP_SECTOR_SIZE = 0x1000;
constexpr uint32_t IAP_PAGE_SIZE = 0x100;
constexpr uint32_t IAP_CHUNK_MAX = 53;
constexpr uint32_t IAP_CHUNKS_PER_PAGE = 5;
constexpr uint32_t IAP_RETRIES = 3;
constexpr uint32_t IAP_TICKS_STEP = 10;
constexpr uint32_t IAP_TICKS_CHECK = 250;
// Size of the work area a frame is assembled in; the payload gets all but the 6 framing bytes.
constexpr uint32_t IAP_FRAME_MAX = 272;
constexpr uint32_t IAP_TTS_BUF_SIZE = 0x40000;
constexpr uint32_t IAP_TTS_ADDR_1MB = 0x80000;
constexpr uint32_t IAP_TTS_ADDR_OTHER = 0x180000;
// A range lies inside the flash, so it touches at most this many sectors.
constexpr uint32_t IAP_SECTORS_MAX = IAP_FLASH_END / IAP_SECTOR_SIZE;
// Ranges of one update whose survey is kept: the image and the TTS data.
constexpr uint32_t IAP_SURVEY_RANGES = 2;

// What the survey of one range found, for whoever reports on the run.
struct iap_survey_t {
    uint32_t flash_addr;  // first byte of the range's first sector
    uint16_t sectors;     // sectors the range touches (its length rounded up to whole sectors)
    uint16_t unchanged;   // of those, sectors that already held what a full update leaves there
    uint8_t done;         // 1 once the survey decided; the other fields are valid from then on
};

typedef void (*iap_cmd_tx_t)(uint8_t *dat, int len);
typedef void (*iap_evnet_callback_t)(iap_event_t evt);

struct iap_env_t {
    iap_state_t state;
    uint32_t addr;
    uint32_t size;
    uint32_t iap_addr;
    uint32_t iap_offset;
    uint32_t tick_cnt;
    uint32_t attempt;
    uint32_t state_change;
    iap_crc_t crc_flag;
    uint8_t *local_img_buf;
    int local_img_buf_size;
    uint8_t update_file_num;
    uint8_t update_done_num;
    uint8_t update_fire_flag;
    iap_cmd_tx_t iap_cmd_tx;
    iap_evnet_callback_t iap_evnet_callback;
    // Set by the host before the start: survey each range after its unlock and erase and program
    // only the sectors whose checksum differs from what a full update leaves there (the range's
    // bytes, 0xFF for the rest of a partly covered last sector). Zero keeps every frame and line
    // of a full update.
    uint8_t skip_unchanged;
    uint8_t sector_plan;     // 1 while the current range programs only the sectors marked below
    uint16_t survey_sector;  // sector of the range (from 0) whose checksum is pending
    uint32_t sector_differs[IAP_SECTORS_MAX / 32];  // bit n: sector n of the range is programmed
    iap_survey_t survey[IAP_SURVEY_RANGES];         // by range, image first; cleared by iap_init
};

// Lifecycle. iap_start keeps the count of verified buffers and the buffer the last run ended on,
// so a caller can resume; a new update starts with iap_init and the buffer fields set again.
void iap_init(iap_env_t *iap, iap_cmd_tx_t cmd_tx, iap_evnet_callback_t evt_cb);
uint32_t iap_start(iap_env_t *iap, uint32_t addr, uint32_t size, uint32_t iap_addr);
void iap_stop(iap_env_t *iap);

// Frames and senders.
uint16_t crc16_compute(const uint8_t *p_data, uint32_t size, const uint16_t *p_crc);
void iap_command_tx(iap_env_t *iap, uint32_t command, uint8_t *p_dat, int len);
void iap_flash_unlock(iap_env_t *iap);
void iap_flash_lock(iap_env_t *iap);
void iap_flash_erase(iap_env_t *iap);
void iap_flash_write_page(iap_env_t *iap);
void iap_flash_write_page_buf(iap_env_t *iap);
void iap_flash_check(iap_env_t *iap);
void iap_flash_reboot(iap_env_t *iap);
// Survey senders: the checksum of the range rounded up to whole sectors, and of one sector
// (survey_sector). Both use the check command, whose range may start and end anywhere.
void iap_flash_survey_range(iap_env_t *iap);
void iap_flash_survey_sector(iap_env_t *iap);

// Answers and verification.
void iap_rx_callback(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_UNLOCK_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_ERASE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_WRITE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_WRITE_PAGE_BUF_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_CHECK_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_LOCK_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_REBOOT_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_SURVEY_RANGE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_SURVEY_SECTOR_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t iap_calculate_CRC32(uint32_t crc, const uint8_t *pStart, uint32_t uSize);

// Survey helpers. iap_survey_applies: the record asks for a survey and the range allows one (a
// sector-aligned flash address, whole sectors inside the flash). iap_survey_sectors: sectors the
// current range touches. iap_program_changed_from: continues a surveyed range at its first
// marked sector from `sector` on (erase), or verifies it (check) when none is left.
bool iap_survey_applies(const iap_env_t *iap);
uint32_t iap_survey_sectors(const iap_env_t *iap);
void iap_program_changed_from(iap_env_t *iap, uint32_t sector);

// Ticks.
uint32_t iap_timer_callback(iap_env_t *iap);
uint32_t iap_flash_write_timeout_handle(iap_env_t *iap);
