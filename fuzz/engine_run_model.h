// What one engine run must do, worked out from the fuzz input alone: the buffer ranges it programs,
// in order, where each one goes in flash, and which of them a device answer has verified. Every
// frame the engine sends and every event it raises is judged against it, never against the
// engine's own record or functions.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/iap.h"

namespace fuzz {

struct ProgramRange {
    const uint8_t *data = nullptr;  // first byte of the range in its host buffer
    uint32_t size = 0;              // a whole number of pages
    uint32_t flash_addr = 0;        // sector aligned
};

class EngineRunModel {
  public:
    // A fresh run over ranges[0], then ranges[1], ... (one range per file to update).
    void begin_run(std::vector<ProgramRange> ranges);

    // A frame handed to the transmit hook while the engine's state was state.
    void on_frame(const uint8_t *frame, int len, iap_state_t state);
    // An answer about to be fed to the engine while its state is state.
    void on_answer(const uint8_t *answer, int len, iap_state_t state);
    // An event the engine raised; iap is its record at that moment.
    void on_event(iap_event_t evt, const iap_env_t &iap);

    // Index of the range being programmed now, and that range.
    size_t phase() const { return phase_; }
    const ProgramRange &current_range() const { return ranges_.at(phase_); }
    // CRC-32/JAMCRC of the current range: what a healthy device answers to its check.
    uint32_t current_crc() { return crc_of(phase_); }
    // Command code of the last frame sent, 0 before any.
    uint8_t last_command() const { return last_command_; }
    // What a device answers to the last survey: the CRC-32/JAMCRC of the surveyed sectors as if
    // they already held the range (its bytes, 0xFF past its end), or as if they were erased.
    uint32_t survey_crc(bool erased) const;

  private:
    static constexpr size_t kSectors = IAP_FLASH_END / IAP_SECTOR_SIZE;

    void check_shape(const uint8_t *frame, int len) const;
    void on_unlock(int payload_len);
    void on_erase(const uint8_t *payload, int payload_len);
    void on_chunk(const uint8_t *payload, int payload_len) const;
    void on_page_write(const uint8_t *payload, int payload_len) const;
    void on_check(const uint8_t *payload, int payload_len, iap_state_t state);
    void on_reboot(int payload_len) const;
    // Data bytes of a chunk or page write at flash address addr: inside the range, in an erased
    // sector, and equal to the range's bytes there.
    void check_data(uint32_t addr, const uint8_t *data, uint32_t count) const;
    bool all_verified() const;
    uint32_t crc_of(size_t phase);

    std::vector<ProgramRange> ranges_;
    std::vector<uint32_t> crcs_;
    std::vector<bool> crc_known_;
    std::vector<bool> verified_;
    size_t phase_ = 0;
    bool check_sent_ = false;            // a check frame of the current range went out
    bool succeeded_ = false;             // the run already reported success
    std::bitset<kSectors> erased_;       // sectors an erase frame of the current range named
    std::bitset<kSectors> read_erased_;  // sectors of the range a survey answer found erased
    uint8_t last_command_ = 0;
    uint32_t survey_addr_ = 0;  // the last survey's flash range
    uint32_t survey_len_ = 0;
    bool survey_answer_due_ = false;  // the last survey check was sent and not yet answered
};

}  // namespace fuzz
