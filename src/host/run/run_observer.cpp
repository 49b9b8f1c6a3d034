#include "host/run/run_observer.h"

#include <algorithm>
#include <cstring>

namespace host {

namespace {

uint32_t u32_at(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

const char *phase_of(iap_state_t s) {
    switch (s) {
        case IAP_ST_FLASH_UNLOCK:
            return "unlock";
        case IAP_ST_FLASH_ERASE:
            return "erase";
        case IAP_ST_FLASH_WRITE:
        case IAP_ST_FLASH_WRITE_PAGE_BUF:
            return "write";
        case IAP_ST_FLASH_CHECK:
        case IAP_ST_FLASH_VERIFY_RANGE:
        case IAP_ST_FLASH_VERIFY_SECTOR:
            return "verify";
        case IAP_ST_FLASH_LOCK:
            return "lock";
        case IAP_ST_FLASH_REBOOT:
            return "reboot";
        case IAP_ST_FLASH_SURVEY_RANGE:
        case IAP_ST_FLASH_SURVEY_SECTOR:
            return "survey";
        case IAP_ST_IDLE:
            break;
    }
    return "";
}

// 1 for the image, 2 for the TTS data: the ranges verified so far, plus the one under way.
unsigned range_of(const iap_env_t &r) {
    return r.update_done_num < r.update_file_num ? r.update_done_num + 1u : r.update_file_num;
}

}  // namespace

RunObserver::RunObserver(RunEvents &events, uint64_t total_bytes) : events_(events) {
    facts_.total_bytes = total_bytes;
}

void RunObserver::on_report_sent(const uint8_t *report, size_t len, bool written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written) {
        facts_.failed_writes++;
    }
    if (len < 9) {
        return;
    }
    const uint8_t command = report[4];
    switch (command) {
        case IAP_CMD_FLASH_WRITE_PAGE_BUF:
            // Five chunks carry one page; the first, at the page's own address, stands for it.
            if ((u32_at(report + 5) & (IAP_PAGE_SIZE - 1)) != 0) {
                return;
            }
            note_step_locked(command, true, u32_at(report + 5), written);
            break;
        case IAP_CMD_FLASH_ERASE:
        case IAP_CMD_FLASH_WRITE:
        case IAP_CMD_FLASH_CHECK:
            note_step_locked(command, true, u32_at(report + 5), written);
            break;
        default:
            note_step_locked(command, false, range_start_, written);
            break;
    }
}

void RunObserver::note_step_locked(uint8_t command, bool has_addr, uint32_t addr, bool written) {
    StepFacts &s = facts_.last_step;
    // A step without an address (unlock, reboot) is named by the range it belongs to, which the
    // record tells only after the engine call that sent its first frame.
    if (s.sends > 0 && s.command == command && s.has_addr == has_addr &&
        (!has_addr || s.flash_addr == addr)) {
        s.sends++;
        s.delivered = s.delivered || written;
        events_.resend(step_name(command), addr, s.sends);
        return;
    }
    s = StepFacts{};
    s.command = command;
    s.has_addr = has_addr;
    s.flash_addr = addr;
    s.sends = 1;
    s.delivered = written;
    if (command == IAP_CMD_FLASH_ERASE) {
        events_.erase(addr);
    }
}

void RunObserver::on_report_received(const uint8_t *report, int len) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (len < 0) {
        facts_.disconnected = true;
        return;
    }
    if (len < 7) {
        return;
    }
    const uint8_t *answer = report + 1;  // after the report ID, as the engine sees it
    if (answer[3] == IAP_CMD_RSP && answer[5] != 0) {
        if (answer[4] == facts_.last_step.command) {
            facts_.last_step.refusals++;
            facts_.last_step.result_code = answer[5];
        }
        events_.device_error(answer[4], answer[5]);
    } else if (len >= 11) {
        last_check_crc_ = u32_at(answer + 6);
    }
}

void RunObserver::on_record(const iap_env_t &record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record.state != IAP_ST_IDLE) {
        range_start_ = record.iap_addr;
    }
    note_check_locked(record);
    note_survey_locked(record);
    note_verify_locked(record);
    note_progress_locked(record);
    const char *phase = phase_of(record.state);
    const unsigned range = range_of(record);
    if (*phase != '\0' && (std::strcmp(phase, phase_) != 0 || range != phase_range_)) {
        phase_ = phase;
        phase_range_ = range;
        events_.phase(phase, range == 1 ? "image" : "TTS");
    }
    previous_ = record;
}

void RunObserver::note_check_locked(const iap_env_t &record) {
    if (previous_.state != IAP_ST_FLASH_CHECK) {
        return;
    }
    RangeCheck c;
    c.range = range_of(previous_);
    c.flash_addr = previous_.iap_addr;
    c.size = previous_.size;
    c.device_crc = last_check_crc_;
    if (record.update_done_num == previous_.update_done_num + 1) {
        c.host_crc = c.device_crc;
        c.match = true;
        facts_.verified.push_back(c);
        acknowledged_in_range_ = 0;
        unchanged_verified_ += unchanged_below_locked(UINT64_MAX);
        unchanged_sectors_.clear();
        events_.check(c);
    } else if (record.state == IAP_ST_IDLE && record.crc_flag == IAP_CRC_FAIL) {
        // The record still describes the range: work the host's checksum out again, as the
        // engine did, rather than read it from the console.
        c.host_crc =
            iap_calculate_CRC32(0xFFFFFFFF, record.local_img_buf + record.addr, record.size);
        facts_.mismatch = c;
        events_.check(c);
    }
}

void RunObserver::note_survey_locked(const iap_env_t &record) {
    for (unsigned i = 0; i < IAP_SURVEY_RANGES; i++) {
        const iap_survey_t &s = record.survey[i];
        if (s.done != 0 && previous_.survey[i].done == 0) {
            // The record still describes the surveyed range: its sectors that differ are marked.
            unchanged_sectors_.assign(s.sectors, false);
            for (uint32_t k = 0; k < s.sectors; k++) {
                unchanged_sectors_[k] = (record.sector_differs[k / 32] >> (k % 32) & 1u) == 0;
            }
            surveyed_size_ = record.size;
            events_.survey(i + 1, s.flash_addr, s.sectors, s.unchanged);
        }
    }
}

void RunObserver::note_verify_locked(const iap_env_t &record) {
    if (record.state == IAP_ST_FLASH_VERIFY_RANGE || record.state == IAP_ST_FLASH_VERIFY_SECTOR) {
        facts_.verify_only = true;
    }
    for (unsigned i = 0; i < IAP_SURVEY_RANGES; i++) {
        const iap_verify_t &v = record.verify[i];
        if (v.done == 0 || previous_.verify[i].done != 0) {
            continue;
        }
        RangeCheck c;
        c.range = i + 1;
        c.flash_addr = v.flash_addr;
        c.size = v.size;
        c.device_crc = v.device_crc;
        c.host_crc = v.host_crc;
        c.match = v.match != 0;
        for (uint32_t s = 0; s < v.sectors; s++) {
            if ((v.sector_differs[s / 32] >> (s % 32) & 1u) != 0) {
                c.differing_sectors.push_back(v.flash_addr + s * IAP_SECTOR_SIZE);
            }
        }
        facts_.compared.push_back(c);
        events_.check(c);
    }
}

void RunObserver::note_progress_locked(const iap_env_t &record) {
    switch (record.state) {
        case IAP_ST_FLASH_ERASE:
        case IAP_ST_FLASH_WRITE:
        case IAP_ST_FLASH_WRITE_PAGE_BUF:
        case IAP_ST_FLASH_CHECK:
            acknowledged_in_range_ =
                record.iap_offset < record.size ? record.iap_offset : record.size;
            break;
        default:
            break;
    }
    uint64_t verified = 0;
    for (const RangeCheck &c : facts_.verified) {
        verified += c.size;
    }
    facts_.bytes = verified + acknowledged_in_range_;
    facts_.unchanged_bytes = unchanged_verified_ + unchanged_below_locked(acknowledged_in_range_);
    if (facts_.bytes != last_progress_bytes_) {
        last_progress_bytes_ = facts_.bytes;
        events_.progress(facts_.bytes, facts_.total_bytes);
    }
}

// The bytes of the range under way in its unchanged sectors, below `offset` into the range.
uint64_t RunObserver::unchanged_below_locked(uint64_t offset) const {
    uint64_t bytes = 0;
    for (size_t k = 0; k < unchanged_sectors_.size(); k++) {
        const uint64_t begin = uint64_t{k} * IAP_SECTOR_SIZE;
        const uint64_t end = std::min({begin + IAP_SECTOR_SIZE, offset, uint64_t{surveyed_size_}});
        if (unchanged_sectors_[k] && end > begin) {
            bytes += end - begin;
        }
    }
    return bytes;
}

RunFacts RunObserver::facts() {
    std::lock_guard<std::mutex> lock(mutex_);
    RunFacts f = facts_;
    if (!f.last_step.has_addr) {
        f.last_step.flash_addr = range_start_;
    }
    return f;
}

}  // namespace host
