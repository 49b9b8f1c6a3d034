// The IAP update engine: programs a sequence of buffers into the flash of a device that takes IAP
// command frames, one protocol step at a time, and verifies each by CRC-32.
//
// How it is driven. The engine owns no thread, no clock and no I/O. A caller sets up a record
// (iap_init, then the buffer fields), starts a run (iap_start), and then feeds it two things:
// every answer the device sends (iap_rx_callback) and a tick every 10 ms (iap_timer_callback).
// The engine acts on the world only through the two hooks stored in its record: the transmit
// hook receives every complete command frame, the event hook the outcome of the run. Its console
// lines go through the console module (console.h), to standard output by default.
//
// Serialisation. Every function here works on the record it is given and on nothing else of the
// caller's but the globals listed below. Calls on one record must not overlap: iap_start,
// iap_rx_callback, iap_timer_callback, iap_stop and the senders all read and write the record
// without a lock, and the transmit hook is called from inside them. A caller that drives one
// record from several threads holds one lock around every call on it (the tool's EngineRunner
// does). Calls on different records may run at the same time on different threads, as long as
// each record's hooks know which device they serve (the hooks take no record argument; the tool
// routes them through a thread-local "current device" set around each call) and the globals
// below stay unchanged while any record runs. The record's state_change flag marks a transition
// under way; it is the engine's own guard against re-entry from its hooks, not a lock.
//
// Host globals read (declared at the end of this header, defined with the host's other globals in
// globals/iap_globals.cpp): when a range is verified and another remains, the engine moves on to
// the TTS data by reading tts_file (its bytes), tts_size (its length, already rounded up to 256)
// and is_1mb (1: flash 0x80000, else 0x180000). They are read, never written, and must not change
// while a record runs.
//
// Outcomes. A run ends with the record back in IAP_ST_IDLE and, in the normal case, exactly one
// final event: IAP_EVT_SUCCESS after every buffer verified and the reboot answered;
// IAP_EVT_CMD_RX_TIMEOUT when a step stayed unanswered through its retries; IAP_EVT_CMD_ERROR
// when a checksum did not match. An error answer (result byte not 0) raises IAP_EVT_CMD_ERROR
// without ending the run: the step is resent by the tick and may still succeed, so only the last
// event before the engine went idle is the outcome. Answers that arrive while idle are ignored,
// except error answers, which are still reported.
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
    // Only after iap_verify_start: the device is asked for the checksum of each range and
    // nothing is erased, written or rebooted (iap_verify.cpp).
    IAP_ST_FLASH_VERIFY_RANGE = 10,   // checksum of the whole range requested
    IAP_ST_FLASH_VERIFY_SECTOR = 11,  // with skip_unchanged: of one sector of a differing range
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

// What the verification of one range found (iap_verify_start).
struct iap_verify_t {
    uint32_t flash_addr;  // the range as the check step asks for it
    uint32_t size;
    uint32_t device_crc;
    uint32_t host_crc;
    uint16_t sectors;    // with skip_unchanged and a differing range: sectors looked at
    uint16_t differing;  // of those, sectors that differ from what a full update leaves there
    uint8_t match;       // the device's checksum of the range equals the host's
    uint8_t done;        // 1 once the range is decided; the other fields are valid from then on
    uint32_t sector_differs[IAP_SECTORS_MAX / 32];  // bit n: sector n of the range differs
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
    // bytes, 0xFF for the rest of a partly covered last sector); a sector that reads as erased is
    // programmed without an erase. Zero keeps every frame and line of a full update.
    uint8_t skip_unchanged;
    uint8_t sector_plan;     // 1 while the current range programs only the sectors marked below
    uint16_t survey_sector;  // sector of the range (from 0) whose checksum is pending
    uint32_t sector_differs[IAP_SECTORS_MAX / 32];  // bit n: sector n of the range is programmed
    iap_survey_t survey[IAP_SURVEY_RANGES];         // by range, image first; cleared by iap_init
    // Set by the host before the start: a page whose bytes are all 0xFF is not sent when its
    // sector was just erased (or read as erased by the survey), since it already reads so. Its
    // progress still counts; the range's check proves the result. Zero sends every page.
    uint8_t skip_blank;
    // bit n: the survey read sector n of the range as erased, so it is programmed without an
    // erase. Valid while sector_plan is set.
    uint32_t sector_erased[IAP_SECTORS_MAX / 32];
    iap_verify_t verify[IAP_SURVEY_RANGES];  // by range, image first; cleared by iap_verify_start
    // 1 while a survey or verify state's next check waits for the next tick to be sent. Until it
    // is sent, an answer cannot be its answer: it is a duplicate, or a late answer to the check
    // before, which would otherwise be taken for it.
    uint8_t check_deferred;
};

// ---- Lifecycle ----
//
// iap_init: makes the record idle, clears the count of verified buffers (update_done_num) and
// update_fire_flag, and stores the two hooks. cmd_tx must not be null (the engine calls it
// without a check); evt_cb may be null, and events are then not delivered. It touches no other
// field: the caller sets update_file_num (before or after) and local_img_buf /
// local_img_buf_size (after).
void iap_init(iap_env_t *iap, iap_cmd_tx_t cmd_tx, iap_evnet_callback_t evt_cb);
// iap_start: begins programming `size` bytes of local_img_buf from offset `addr` into flash at
// `iap_addr`: state becomes IAP_ST_FLASH_UNLOCK and the unlock frame goes to the transmit hook
// before it returns. Refuses, with a console line that has no line end and without an event,
// an `addr` that is not a multiple of 4,096 ("Invalid start address %08x!") and a record that is
// not idle ("IAP is busy!"). Returns 1 on every path; callers tell a refusal by the state staying
// IAP_ST_IDLE. It keeps update_done_num and the buffer the last run ended on (a caller can
// resume); a new update starts with iap_init and the buffer fields set again. `size` should be a
// multiple of 256 (the tool rounds it); flash addresses are checked by the senders, which send
// nothing for a step beyond 2 MiB (the run then times out).
uint32_t iap_start(iap_env_t *iap, uint32_t addr, uint32_t size, uint32_t iap_addr);
// iap_stop: makes the record idle at once; sends nothing and raises no event.
void iap_stop(iap_env_t *iap);

// ---- Frames and senders ----
//
// crc16_compute: the frames' CRC-16 over `size` bytes, starting from *p_crc or 0xFFFF when
// p_crc is null. Pure.
// iap_command_tx: assembles A5 | length (LE, frame length including these 6 bytes) | command |
// payload | CRC-16 (LE) and hands it to the transmit hook; a payload that does not fit
// IAP_FRAME_MAX is refused and nothing is sent.
// The senders (iap_flash_*) each send one protocol step of the record's current position
// (iap_addr + iap_offset): they check their guards, print their console line, arm tick_cnt with
// the step's budget and send the frame(s). They do not change state or attempt; the answer
// handlers and the tick do. iap_flash_write_page_buf sends one page as up to five chunks of at
// most 53 bytes.
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

// ---- Answers and verification ----
//
// iap_rx_callback: takes one answer from the device (the input report without its report ID,
// `len` bytes; bytes past `len` count as 0). Dropped while state_change is set. An answer with
// result byte (5) not 0 prints "Command %08x, RET %02x" and raises IAP_EVT_CMD_ERROR, whatever
// the state. Otherwise the pending step's handler advances the run: the next step's frames are
// sent from inside this call. The check's handler compares the device's CRC-32 (bytes 6-9) with
// its own over the range, prints both, and either raises IAP_EVT_CMD_ERROR (mismatch, run over),
// moves on to the TTS data (reading the host globals above), or sends the reboot. Answers are
// not matched to commands: any acknowledgement advances the pending step.
// The *_rsp_handle / *_handle functions are the per-state steps iap_rx_callback dispatches to;
// each returns 0.
// iap_calculate_CRC32: the verification checksum (reflected CRC-32, polynomial 0xEDB88320, no
// final inversion) of uSize bytes, continuing from crc (0xFFFFFFFF to begin). Pure.
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

// Blank pages. iap_page_blank: the page at `offset` of the current range holds only 0xFF (the
// bytes of it inside the range). iap_pass_blank_pages: with skip_blank set, moves iap_offset past
// the blank pages from iap_offset to the end of its sector or of the range; true when a page to
// send remains in that sector (always true, without moving, when skip_blank is clear and the
// range is not done). iap_count_blank_pages: pages of `size` bytes of `data` that hold only 0xFF,
// for a plan. Pure.
bool iap_page_blank(const iap_env_t *iap, uint32_t offset);
bool iap_pass_blank_pages(iap_env_t *iap);
uint32_t iap_count_blank_pages(const uint8_t *data, uint32_t size);
// ---- Checksum requests, shared by the survey and the verification ----
//
// iap_answer_crc: the CRC-32 an answer carries (bytes 6-9). iap_expected_crc: the CRC-32 of
// [offset, offset + len) of the current range as a full update leaves it in flash (the range's
// bytes, then 0xFF). iap_send_check: sends the check command for `length` bytes from flash
// `start`.
// The survey and verify states match answers to their checks, which the states of a full update
// do not: iap_check_answer_taken says whether an answer may be the pending check's: one that
// names the check command (byte 4) and arrived after the check was sent. The verify states send
// each further check a tick later (iap_defer_check), so that a duplicated or late answer to the
// check before arrives while none is pending and is dropped: a verify's verdict is final. The
// survey sends its sector checks at once, for speed (a tick per sector would double the survey
// of a large image): an answer it took out of turn can only make it program a sector too few,
// which the range's own check then reports as a failure, never as a success.
// iap_send_deferred_check: the tick's part, true when it sent the check.
uint32_t iap_answer_crc(const uint8_t *p_dat);
uint32_t iap_expected_crc(const iap_env_t *iap, uint32_t offset, uint32_t len);
void iap_send_check(iap_env_t *iap, uint32_t start, uint32_t length);
void iap_defer_check(iap_env_t *iap);
bool iap_check_answer_taken(const iap_env_t *iap, const uint8_t *p_dat);
bool iap_send_deferred_check(iap_env_t *iap);

// ---- Verification only ----
//
// iap_verify_start: like iap_start, but only asks the device for the CRC-32 of each range with
// the check command (same budget, resends and time-out as the check step) and compares it with
// the buffer's; no unlock, erase, page or reboot frame is sent. Each range is checked whatever
// the one before it found. With skip_unchanged, a range that differs is then asked sector by
// sector, and verify[].sector_differs says which sectors a full update would change. The run
// ends idle with IAP_EVT_SUCCESS when every range matched, else IAP_EVT_CMD_ERROR; crc_flag
// says the same. Refuses a record that is not idle ("IAP is busy!", no event).
// iap_flash_verify_range / iap_flash_verify_sector: the senders of its two states.
uint32_t iap_verify_start(iap_env_t *iap, uint32_t addr, uint32_t size, uint32_t iap_addr);
void iap_flash_verify_range(iap_env_t *iap);
void iap_flash_verify_sector(iap_env_t *iap);
uint32_t IAP_ST_FLASH_VERIFY_RANGE_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);
uint32_t IAP_ST_FLASH_VERIFY_SECTOR_rsp_handle(iap_env_t *iap, uint8_t *p_dat, int len);

// ---- Ticks ----
//
// iap_timer_callback: one 10 ms tick. Idle: returns 0 and does nothing. While state_change is
// set: returns 1 and does nothing. A survey or verify check that waits for a tick is sent (and
// nothing else done). Otherwise counts the pending step's budget down; when it is
// spent, resends the step (every step but a page-buffer write, whose retry is only spent) and
// takes one of its three retries; when the retries are spent too, raises
// IAP_EVT_CMD_RX_TIMEOUT and makes the record idle. Returns 0 then.
// iap_flash_write_timeout_handle: recovery of an unanswered whole-page write: rewinds to the
// start of its sector and erases it again.
uint32_t iap_timer_callback(iap_env_t *iap);
uint32_t iap_flash_write_timeout_handle(iap_env_t *iap);

// The host's globals the engine reads (see "Host globals read" above).
extern uint8_t tts_file[IAP_TTS_BUF_SIZE];
extern int tts_size;
extern int is_1mb;
