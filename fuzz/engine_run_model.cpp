#include "engine_run_model.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "fuzz_check.h"
#include "reference_checksums.h"

namespace fuzz {

namespace {

constexpr int kFrameOverhead = 6;  // head, length, command, CRC-16
constexpr int kFrameHeader = 4;    // head, length, command

uint32_t get_u16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8);
}

uint32_t get_u32(const uint8_t *p) {
    return get_u16(p) | get_u16(p + 2) << 16;
}

}  // namespace

void EngineRunModel::begin_run(std::vector<ProgramRange> ranges) {
    ranges_ = std::move(ranges);
    crcs_.assign(ranges_.size(), 0);
    crc_known_.assign(ranges_.size(), false);
    verified_.assign(ranges_.size(), false);
    phase_ = 0;
    check_sent_ = false;
    succeeded_ = false;
    erased_.reset();
    read_erased_.reset();
    survey_answer_due_ = false;
    last_command_ = 0;
}

void EngineRunModel::check_shape(const uint8_t *frame, int len) const {
    FUZZ_CHECK(len >= kFrameOverhead && static_cast<uint32_t>(len) <= IAP_FRAME_MAX,
               "frame of %d bytes", len);
    FUZZ_CHECK(frame[0] == 0xA5, "frame head 0x%02x", frame[0]);
    FUZZ_CHECK(get_u16(frame + 1) == static_cast<uint32_t>(len),
               "length field %u, frame of %d bytes", get_u16(frame + 1), len);
    const uint16_t crc = test_support::reference_crc16(frame, static_cast<size_t>(len) - 2);
    FUZZ_CHECK(get_u16(frame + len - 2) == crc, "frame CRC-16 %04x, expected %04x",
               get_u16(frame + len - 2), crc);
}

void EngineRunModel::on_frame(const uint8_t *frame, int len, iap_state_t state) {
    FUZZ_CHECK(!ranges_.empty(), "frame sent before any run started");
    FUZZ_CHECK(state != IAP_ST_IDLE, "frame sent while the engine is idle");
    check_shape(frame, len);
    const uint8_t command = frame[3];
    const uint8_t *payload = frame + kFrameHeader;
    const int payload_len = len - kFrameOverhead;
    last_command_ = command;
    switch (command) {
        case IAP_CMD_FLASH_UNLOCK:
            on_unlock(payload_len);
            break;
        case IAP_CMD_FLASH_ERASE:
            on_erase(payload, payload_len);
            break;
        case IAP_CMD_FLASH_WRITE_PAGE_BUF:
            on_chunk(payload, payload_len);
            break;
        case IAP_CMD_FLASH_WRITE:
            on_page_write(payload, payload_len);
            break;
        case IAP_CMD_FLASH_CHECK:
            on_check(payload, payload_len, state);
            break;
        case IAP_CMD_FLASH_REBOOT:
            on_reboot(payload_len);
            break;
        case IAP_CMD_FLASH_LOCK:
            FUZZ_CHECK(payload_len == 0, "lock frame with %d payload bytes", payload_len);
            break;
        default:
            FUZZ_CHECK(false, "frame with unknown command 0x%02x", command);
    }
}

void EngineRunModel::on_unlock(int payload_len) {
    FUZZ_CHECK(payload_len == 0, "unlock frame with %d payload bytes", payload_len);
    if (!check_sent_) {
        return;  // the first unlock of a range, or its retry
    }
    // An unlock after a check starts the next range.
    phase_++;
    FUZZ_CHECK(phase_ < ranges_.size(), "engine goes on to range %zu of a %zu-file update", phase_,
               ranges_.size());
    FUZZ_CHECK(verified_[phase_ - 1], "range %zu left without a matching check", phase_ - 1);
    check_sent_ = false;
    erased_.reset();
    read_erased_.reset();
    survey_answer_due_ = false;
}

void EngineRunModel::on_erase(const uint8_t *payload, int payload_len) {
    FUZZ_CHECK(payload_len == 4, "erase frame with %d payload bytes", payload_len);
    const ProgramRange &r = current_range();
    const uint32_t addr = get_u32(payload);
    FUZZ_CHECK(addr % IAP_SECTOR_SIZE == 0, "erase of unaligned address 0x%08x", addr);
    FUZZ_CHECK(addr >= r.flash_addr && addr - r.flash_addr < r.size,
               "erase of 0x%08x outside the range 0x%08x+0x%x", addr, r.flash_addr, r.size);
    FUZZ_CHECK(!check_sent_, "erase after the range was checked");
    erased_.set(addr / IAP_SECTOR_SIZE);
}

void EngineRunModel::check_data(uint32_t addr, const uint8_t *data, uint32_t count) const {
    const ProgramRange &r = current_range();
    FUZZ_CHECK(addr >= r.flash_addr && addr - r.flash_addr < r.size &&
                   count <= r.size - (addr - r.flash_addr),
               "write of 0x%x bytes at 0x%08x outside the range 0x%08x+0x%x", count, addr,
               r.flash_addr, r.size);
    FUZZ_CHECK(erased_.test(addr / IAP_SECTOR_SIZE) || read_erased_.test(addr / IAP_SECTOR_SIZE),
               "write at 0x%08x into a sector neither erased nor found erased in this range", addr);
    const uint32_t offset = addr - r.flash_addr;
    FUZZ_CHECK(std::memcmp(data, r.data + offset, count) == 0,
               "write at 0x%08x carries bytes that differ from the buffer at offset 0x%x", addr,
               offset);
}

void EngineRunModel::on_chunk(const uint8_t *payload, int payload_len) const {
    // u32 address, u16 count, count data bytes, one trailing byte.
    FUZZ_CHECK(payload_len >= 7, "page-buffer chunk with %d payload bytes", payload_len);
    const uint32_t addr = get_u32(payload);
    const uint32_t count = get_u16(payload + 4);
    FUZZ_CHECK(count >= 1 && count <= IAP_CHUNK_MAX && payload_len == static_cast<int>(count) + 7,
               "page-buffer chunk of %u bytes in %d payload bytes", count, payload_len);
    FUZZ_CHECK(addr % IAP_PAGE_SIZE + count <= IAP_PAGE_SIZE,
               "chunk of %u bytes at 0x%08x crosses its page", count, addr);
    FUZZ_CHECK(!check_sent_, "chunk after the range was checked");
    check_data(addr, payload + 6, count);
}

void EngineRunModel::on_page_write(const uint8_t *payload, int payload_len) const {
    FUZZ_CHECK(payload_len >= 6, "page write with %d payload bytes", payload_len);
    const uint32_t addr = get_u32(payload);
    const uint32_t count = get_u16(payload + 4);
    FUZZ_CHECK(count >= 1 && count <= IAP_PAGE_SIZE && payload_len == static_cast<int>(count) + 6,
               "page write of %u bytes in %d payload bytes", count, payload_len);
    FUZZ_CHECK(addr % IAP_PAGE_SIZE == 0, "page write at unaligned 0x%08x", addr);
    FUZZ_CHECK(!check_sent_, "page write after the range was checked");
    check_data(addr, payload + 6, count);
}

void EngineRunModel::on_check(const uint8_t *payload, int payload_len, iap_state_t state) {
    FUZZ_CHECK(payload_len == 8, "check frame with %d payload bytes", payload_len);
    const ProgramRange &r = current_range();
    if (state == IAP_ST_FLASH_SURVEY_RANGE || state == IAP_ST_FLASH_SURVEY_SECTOR) {
        // A survey asks for whole sectors of the range, before anything of it is erased.
        const uint32_t addr = get_u32(payload);
        const uint32_t len = get_u32(payload + 4);
        const uint32_t span = (r.size + IAP_SECTOR_SIZE - 1) / IAP_SECTOR_SIZE * IAP_SECTOR_SIZE;
        FUZZ_CHECK(addr % IAP_SECTOR_SIZE == 0 && len % IAP_SECTOR_SIZE == 0 && len != 0 &&
                       addr >= r.flash_addr && addr - r.flash_addr <= span &&
                       len <= span - (addr - r.flash_addr),
                   "survey of 0x%08x+0x%x, range is 0x%08x+0x%x", addr, len, r.flash_addr, r.size);
        FUZZ_CHECK(!check_sent_ && erased_.none(), "survey after the range was erased or checked");
        survey_addr_ = addr;
        survey_len_ = len;
        survey_answer_due_ = true;
        return;
    }
    FUZZ_CHECK(get_u32(payload) == r.flash_addr && get_u32(payload + 4) == r.size,
               "check of 0x%08x+0x%x, range is 0x%08x+0x%x", get_u32(payload), get_u32(payload + 4),
               r.flash_addr, r.size);
    check_sent_ = true;
}

void EngineRunModel::on_reboot(int payload_len) const {
    FUZZ_CHECK(payload_len == 0, "reboot frame with %d payload bytes", payload_len);
    // The device restarts into whatever it holds: that must be every range, verified.
    FUZZ_CHECK(phase_ + 1 == ranges_.size() && all_verified(),
               "reboot sent at range %zu of %zu before every range was verified", phase_,
               ranges_.size());
}

void EngineRunModel::on_answer(const uint8_t *answer, int len, iap_state_t state) {
    if (!ranges_.empty() &&
        (state == IAP_ST_FLASH_SURVEY_RANGE || state == IAP_ST_FLASH_SURVEY_SECTOR)) {
        // A survey answer with the checksum of erased flash lets those sectors be programmed
        // without an erase. The engine reads a short answer as zeros past its end. Only the
        // answer to a survey check that was sent counts, and only one that names the check:
        // the rest (a duplicate, another command's) must change nothing.
        uint8_t a[10] = {};
        if (len > 0) {  // an empty answer may come without a buffer at all
            std::memcpy(a, answer, static_cast<size_t>(std::min(len, 10)));
        }
        const bool refused = a[3] == 0x80 && a[5] != 0;
        if (refused || !survey_answer_due_ || a[4] != IAP_CMD_FLASH_CHECK) {
            return;
        }
        survey_answer_due_ = false;
        const std::vector<uint8_t> erased(survey_len_, 0xFF);
        if (survey_len_ != 0 &&
            get_u32(a + 6) == test_support::reference_jamcrc(erased.data(), erased.size())) {
            for (uint32_t s = survey_addr_; s < survey_addr_ + survey_len_; s += IAP_SECTOR_SIZE) {
                read_erased_.set(s / IAP_SECTOR_SIZE);
            }
        }
        return;
    }
    // Bytes 6..9 of an answer to the check carry the device's CRC of the range; an answer too
    // short to hold them verifies nothing.
    if (ranges_.empty() || state != IAP_ST_FLASH_CHECK || !check_sent_ || len < 10) {
        return;
    }
    if (get_u32(answer + 6) == crc_of(phase_)) {
        verified_[phase_] = true;
    }
}

void EngineRunModel::on_event(iap_event_t evt, const iap_env_t &iap) {
    if (evt != IAP_EVT_SUCCESS) {
        return;
    }
    FUZZ_CHECK(!ranges_.empty(), "success before any run started");
    FUZZ_CHECK(!succeeded_, "second success in one run");
    FUZZ_CHECK(iap.update_done_num == iap.update_file_num,
               "success with update_done_num %d of update_file_num %d", iap.update_done_num,
               iap.update_file_num);
    FUZZ_CHECK(phase_ + 1 == ranges_.size() && all_verified(),
               "success at range %zu of %zu without a matching check of every range", phase_,
               ranges_.size());
    succeeded_ = true;
}

uint32_t EngineRunModel::survey_crc(bool erased) const {
    const ProgramRange &r = current_range();
    std::vector<uint8_t> held(survey_len_, 0xFF);
    const uint32_t offset = survey_addr_ - r.flash_addr;
    for (uint32_t i = 0; !erased && i < survey_len_ && offset + i < r.size; i++) {
        held[i] = r.data[offset + i];
    }
    return test_support::reference_jamcrc(held.data(), held.size());
}

bool EngineRunModel::all_verified() const {
    for (bool v : verified_) {
        if (!v) {
            return false;
        }
    }
    return true;
}

uint32_t EngineRunModel::crc_of(size_t phase) {
    if (!crc_known_.at(phase)) {
        crcs_[phase] = test_support::reference_jamcrc(ranges_[phase].data, ranges_[phase].size);
        crc_known_[phase] = true;
    }
    return crcs_[phase];
}

}  // namespace fuzz
