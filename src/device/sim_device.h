// A simulated IAP device: the other end of the wire, with its own 2 MiB flash model. It takes
// 64-byte HID output reports exactly as they cross the wire and produces 64-byte input reports.
// It has no threads, no clock and no I/O: whoever drives it feeds reports in, takes answers out
// and calls tick() every 10 ms (held-back answers are released by ticks).
//
// Request report: [0] = 0x01, then the first 63 bytes of the frame A5 | len16 | cmd | payload |
// crc16 (LE). Longer frames are cut by the report; their CRC cannot be checked.
// Answer report: [0] = 0x02, then A5 | len16 | 0x80 | cmd | result [| crc32 of a check] | crc16.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "device/device_commands.h"
#include "device/fault_rules.h"
#include "device/flash_model.h"
#include "device/page_buffer.h"

namespace sim {

constexpr size_t kReportSize = 64;
constexpr uint8_t kOutputReportId = 0x01;
constexpr uint8_t kInputReportId = 0x02;
using Report = std::array<uint8_t, kReportSize>;

// Result codes the device puts in byte 5 of an answer (after the report ID is stripped).
enum ResultCode : uint8_t {
    kResultOk = 0x00,
    kResultLocked = 0x01,          // erase or program while the flash is locked
    kResultBadAddress = 0x02,      // unaligned, beyond the flash, or a chunk crossing its page
    kResultBadCrc = 0x03,          // a frame that arrived whole failed its CRC-16
    kResultBadLength = 0x04,       // length field or payload inconsistent
    kResultUnknownCmd = 0x05,      // command code the device does not know
    kResultTruncated = 0x06,       // whole-page write cut by the report: only what arrived is
                                   // programmed, the rest of the data never reached the device
    kResultPageIncomplete = 0x07,  // page closed with chunks missing or out of order: not written
};

class SimDevice {
  public:
    SimDevice();
    explicit SimDevice(FaultSchedule faults);

    // One output report as written to the wire: byte 0 is the report ID. Returns false when the
    // write fails (the device is unplugged, or a fail-write fault hits this frame); the report is
    // then not received. Reports of any length are handled safely; bytes past the 64th are not
    // carried by the wire. A report the device ignores (wrong ID or head, too short to hold its
    // frame) still counts as written: it is only counted in reports_rejected().
    bool receive(const uint8_t *report, size_t len);

    // Takes the next answer that is ready (report ID 0x02 first). False when none is ready.
    bool pop_answer(Report &out);
    size_t answers_ready() const { return ready_.size(); }
    // Answers held back by a delay fault and not yet released.
    size_t answers_held() const { return held_.size(); }

    // Advances the device's clock by one 10 ms tick: releases held answers whose time has come.
    void tick();

    // A device that restarts into its application on reboot and leaves the bus as it does: the
    // reboot is performed, its answer is lost, and the device is gone (as if unplugged).
    void set_leaves_on_reboot(bool leaves) { leaves_on_reboot_ = leaves; }
    // Back on the bus after leaving on reboot: its application started, its flash as it was.
    void replug() {
        unplugged_ = false;
        rebooted_ = false;
    }

    // Observations for tests.
    const FlashModel &flash() const { return flash_; }
    FlashModel &flash() { return flash_; }
    bool rebooted() const { return rebooted_; }
    bool unplugged() const { return unplugged_; }
    // Gone from the bus because it rebooted (set_leaves_on_reboot), not pulled out by a fault.
    bool left_on_reboot() const { return unplugged_ && rebooted_ && leaves_on_reboot_; }
    uint32_t frames_received(uint8_t command) const;  // frames of a command that reached it
    uint32_t frames_received_total() const;
    // Answers made ready for the host, duplicates included; a held answer counts on release.
    uint32_t answers_sent() const { return answers_sent_; }
    uint32_t answers_for(uint8_t command) const;  // answers to a command, all results
    uint32_t reports_rejected() const { return reports_rejected_; }  // wrong ID, head, too short

  private:
    struct Held {
        Report report;
        uint8_t command;
        uint32_t ticks_left;
    };

    void handle_frame(const uint8_t *frame, size_t arrived, uint16_t declared);
    uint8_t perform(uint8_t command, const uint8_t *payload, size_t arrived, size_t declared,
                    bool whole, uint32_t &check_crc, const AnswerFaults &faults);
    uint8_t write_page(const uint8_t *payload, size_t arrived, size_t declared, bool whole,
                       const AnswerFaults &faults);
    void handle_chunk(const uint8_t *payload, size_t declared);
    // Counts one more answer to command and looks up the faults that hit it.
    AnswerFaults next_answer_faults(uint8_t command);
    void answer(uint8_t command, uint8_t result, const uint32_t *crc, const AnswerFaults &faults);
    void make_ready(const Report &report, uint8_t command);
    void unplug();

    FlashModel flash_;
    FaultSchedule faults_;
    PageBuffer page_buffer_;
    std::deque<Report> ready_;
    std::deque<Held> held_;
    std::array<uint32_t, 256> frames_by_cmd_{};
    std::array<uint32_t, 256> answers_by_cmd_{};
    // Occasions the fault rules count: frames offered to the device (including failed writes)
    // and answers produced (including dropped ones), per command and overall.
    std::array<uint32_t, 256> frames_offered_by_cmd_{};
    uint32_t frames_offered_ = 0;
    std::array<uint32_t, 256> answer_occasions_by_cmd_{};
    uint32_t answer_occasions_ = 0;
    uint32_t answers_sent_ = 0;
    uint32_t reports_rejected_ = 0;
    bool rebooted_ = false;
    bool unplugged_ = false;
    bool leaves_on_reboot_ = false;
};

}  // namespace sim
