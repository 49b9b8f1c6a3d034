// A simulated IAP device: the other end of the wire, with its own 2 MiB flash model. It takes
// 64-byte HID output reports exactly as they cross the wire and produces 64-byte input reports.
// It has no threads, no clock and no I/O: whoever drives it feeds reports in, takes answers out
// and calls tick() every 10 ms (held-back answers are released by ticks).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fault_rules.h"
#include "flash_model.h"

namespace sim {

constexpr size_t kReportSize = 64;
constexpr uint8_t kOutputReportId = 0x01;
constexpr uint8_t kInputReportId = 0x02;
using Report = std::array<uint8_t, kReportSize>;

// Result codes the device puts in byte 5 of an answer.
enum ResultCode : uint8_t {
    kResultOk = 0x00,
    kResultLocked = 0x01,       // erase or program while the flash is locked
    kResultBadAddress = 0x02,   // unaligned, or beyond the flash
    kResultBadCrc = 0x03,       // a frame that arrived whole failed its CRC-16
    kResultBadLength = 0x04,    // length field or payload inconsistent
    kResultUnknownCmd = 0x05,   // command code the device does not know
};

class SimDevice {
public:
    SimDevice();
    explicit SimDevice(FaultSchedule faults);

    // One output report as written to the wire: byte 0 is the report ID. Returns false when the
    // write fails (the device is unplugged, or a fail-write fault hits this frame); the report is
    // then not received. Reports of any length (0..64 and beyond) are handled safely.
    bool receive(const uint8_t *report, size_t len);

    // Takes the next answer that is ready (report ID 0x02 first). False when none is ready.
    bool pop_answer(Report &out);
    size_t answers_ready() const { return ready_.size(); }
    // Answers held back by a delay fault and not yet released.
    size_t answers_held() const { return held_.size(); }

    // Advances the device's clock by one 10 ms tick: releases held answers whose time has come.
    void tick();

    // Observations for tests.
    const FlashModel &flash() const { return flash_; }
    FlashModel &flash() { return flash_; }
    bool rebooted() const { return rebooted_; }
    bool unplugged() const { return unplugged_; }
    uint32_t frames_received(uint8_t command) const;  // frames of a command that reached it
    uint32_t frames_received_total() const;
    uint32_t answers_sent() const { return answers_sent_; }  // answers queued, duplicates included
    uint32_t answers_for(uint8_t command) const;             // answers to a command, all results
    uint32_t reports_rejected() const { return reports_rejected_; }  // wrong ID, head, too short

private:
    struct Held {
        Report report;
        uint32_t ticks_left;
    };

    void handle_frame(const uint8_t *frame, size_t len);
    void answer(uint8_t command, uint8_t result, const uint32_t *crc);
    void queue(const Report &report, uint8_t command);

    FlashModel flash_;
    FaultSchedule faults_;
    std::deque<Report> ready_;
    std::deque<Held> held_;
    std::array<uint32_t, 256> frames_by_cmd_{};
    std::array<uint32_t, 256> answers_by_cmd_{};
    uint32_t answers_sent_ = 0;
    uint32_t reports_rejected_ = 0;
    bool rebooted_ = false;
    bool unplugged_ = false;
    // Page buffer: data of the page being assembled from chunks.
    std::array<uint8_t, 256> page_buf_{};
};

}  // namespace sim
