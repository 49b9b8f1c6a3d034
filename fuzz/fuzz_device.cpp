// Fuzzes the simulated device: arbitrary output reports (any length, any bytes), well-formed
// frames built from the input, whole pages of chunks, ticks and answer pops, optionally under a
// fault schedule read from the front of the input. Every answer and the device's counters are
// checked after each step.
//
// Input: rule count u8 (mod 5), that many fault rules as text lines, then steps until the end:
// op u8, then its operands (see run_step).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "device/fault_rules.h"
#include "device/sim_device.h"
#include "fuzz_check.h"
#include "input_reader.h"
#include "reference_checksums.h"

namespace {

using fuzz::InputReader;

constexpr size_t kReportMax = 100;
constexpr size_t kWholeFramePayloadMax = sim::kReportSize - 1 - 6;  // 57
constexpr uint32_t kFlashBytes = 0x200000;
constexpr uint32_t kPageSize = 0x100;
constexpr uint32_t kChunkMax = 53;

void put_u16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v) {
    put_u16(p, v);
    put_u16(p + 2, v >> 16);
}

uint32_t get_u16(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8);
}

// A 64-byte output report carrying a frame with the given payload. When the declared length is
// larger than a report holds, the frame arrives cut and carries no valid CRC, as on the wire.
std::vector<uint8_t> frame_report(uint8_t command, const std::vector<uint8_t> &payload,
                                  uint32_t declared_payload) {
    std::vector<uint8_t> report(sim::kReportSize, 0);
    report[0] = sim::kOutputReportId;
    uint8_t *frame = report.data() + 1;
    const uint32_t declared = declared_payload + 6;
    frame[0] = 0xA5;
    put_u16(frame + 1, declared);
    frame[3] = command;
    for (size_t i = 0; i < payload.size() && 4 + i < sim::kReportSize - 1; i++) {
        frame[4 + i] = payload[i];
    }
    if (declared <= sim::kReportSize - 1) {
        put_u16(frame + declared - 2, test_support::reference_crc16(frame, declared - 2));
    }
    return report;
}

class DeviceFuzzRun {
  public:
    DeviceFuzzRun(InputReader &in, sim::SimDevice &device, bool has_faults)
        : in_(in), device_(device), has_faults_(has_faults) {}

    void run();

  private:
    void run_step(uint8_t op);
    // Hands a report to the device and checks what its answer count did.
    void send(const std::vector<uint8_t> &report, bool expect_answer);
    void send_frame();
    void send_long_frame();
    void send_page();
    void pop(uint32_t n);
    void check_answer(const sim::Report &a) const;
    void check_counters();

    InputReader &in_;
    sim::SimDevice &device_;
    bool has_faults_;
    uint64_t reports_written_ = 0;
    uint64_t reports_accepted_ = 0;
    uint64_t popped_ = 0;
    bool was_unplugged_ = false;
    uint32_t sent_at_unplug_ = 0;
};

void DeviceFuzzRun::run() {
    while (!in_.empty()) {
        run_step(in_.u8());
        check_counters();
    }
}

void DeviceFuzzRun::run_step(uint8_t op) {
    switch (op % 6) {
        case 0: {
            std::vector<uint8_t> report(in_.u8() % (kReportMax + 1));
            in_.bytes(report.data(), report.size());
            send(report, false);
            break;
        }
        case 1:
            send_frame();
            break;
        case 2:
            send_long_frame();
            break;
        case 3:
            send_page();
            break;
        case 4:
            for (uint32_t n = in_.u8() + 1u; n > 0; n--) {
                device_.tick();
            }
            break;
        default:
            pop(in_.u8() % 4 + 1u);
            break;
    }
}

void DeviceFuzzRun::send(const std::vector<uint8_t> &report, bool expect_answer) {
    const uint32_t sent_before = device_.answers_sent();
    // Exactly the report's bytes, so that a read past its end is caught.
    std::vector<uint8_t> copy(report);
    const bool written = device_.receive(copy.data(), copy.size());
    reports_written_++;
    if (written) {
        reports_accepted_++;
    }
    FUZZ_CHECK(written || device_.unplugged() || has_faults_,
               "a write failed with no fault rule and the device plugged in");
    if (expect_answer && written && !has_faults_) {
        // Without faults every whole, well-formed frame gets its answer at once.
        FUZZ_CHECK(device_.answers_sent() == sent_before + 1,
                   "a whole frame with command 0x%02x made %u answers", report[4],
                   device_.answers_sent() - sent_before);
    }
}

void DeviceFuzzRun::send_frame() {
    const uint8_t command = in_.u8();
    std::vector<uint8_t> payload(in_.u8() % (kWholeFramePayloadMax + 1));
    in_.bytes(payload.data(), payload.size());
    // Chunks are answered once their page closes, not one by one.
    send(frame_report(command, payload, static_cast<uint32_t>(payload.size())),
         command != sim::kCmdPage);
}

void DeviceFuzzRun::send_long_frame() {
    const uint8_t command = in_.u8();
    const uint32_t declared_payload = in_.u16() % 400;
    std::vector<uint8_t> payload(kWholeFramePayloadMax);
    in_.bytes(payload.data(), payload.size());
    send(frame_report(command, payload, declared_payload), false);
}

// The five chunks of one page, as the host sends them, each with a correct CRC.
void DeviceFuzzRun::send_page() {
    const uint32_t page = in_.u16() % (kFlashBytes / kPageSize);
    const uint8_t fill = in_.u8();
    for (uint32_t offset = 0; offset < kPageSize; offset += kChunkMax) {
        const uint32_t count = std::min(kChunkMax, kPageSize - offset);
        std::vector<uint8_t> payload(6 + count + 1, 0);
        put_u32(payload.data(), page * kPageSize + offset);
        put_u16(payload.data() + 4, count);
        for (uint32_t i = 0; i < count; i++) {
            payload[6 + i] = static_cast<uint8_t>(fill + offset + i);
        }
        send(frame_report(sim::kCmdPage, payload, static_cast<uint32_t>(payload.size())), false);
    }
}

void DeviceFuzzRun::pop(uint32_t n) {
    for (; n > 0; n--) {
        sim::Report a;
        if (!device_.pop_answer(a)) {
            return;
        }
        popped_++;
        check_answer(a);
    }
}

void DeviceFuzzRun::check_answer(const sim::Report &a) const {
    FUZZ_CHECK(a[0] == sim::kInputReportId, "answer report ID 0x%02x", a[0]);
    FUZZ_CHECK(a[1] == 0xA5, "answer head 0x%02x", a[1]);
    FUZZ_CHECK(a[4] == 0x80, "answer mark 0x%02x", a[4]);
    const uint8_t *frame = a.data() + 1;
    const uint32_t len = get_u16(frame + 1);
    const uint8_t command = frame[4];
    const uint8_t result = frame[5];
    FUZZ_CHECK(len == 8 || (len == 12 && command == sim::kCmdCheck && result == 0),
               "answer of %u bytes to command 0x%02x, result 0x%02x", len, command, result);
    FUZZ_CHECK(get_u16(frame + len - 2) == test_support::reference_crc16(frame, len - 2),
               "answer CRC-16 does not match");
    for (size_t i = 1 + len; i < a.size(); i++) {
        FUZZ_CHECK(a[i] == 0, "answer byte %zu past the frame is 0x%02x", i, a[i]);
    }
    FUZZ_CHECK(device_.frames_received(command) > 0,
               "answer to command 0x%02x, which never reached the device", command);
}

void DeviceFuzzRun::check_counters() {
    if (was_unplugged_) {
        FUZZ_CHECK(device_.unplugged(), "the device came back after it was unplugged");
        FUZZ_CHECK(device_.answers_sent() == sent_at_unplug_,
                   "an unplugged device sent %u more answers",
                   device_.answers_sent() - sent_at_unplug_);
    } else if (device_.unplugged()) {
        FUZZ_CHECK(has_faults_, "the device unplugged itself without a fault rule");
        was_unplugged_ = true;
        sent_at_unplug_ = device_.answers_sent();
    }
    FUZZ_CHECK(device_.flash().bytes().size() == kFlashBytes, "flash of %zu bytes",
               device_.flash().bytes().size());
    FUZZ_CHECK(popped_ + device_.answers_ready() <= device_.answers_sent(),
               "%llu answers popped and %zu ready, only %u sent",
               static_cast<unsigned long long>(popped_), device_.answers_ready(),
               device_.answers_sent());
    if (!device_.unplugged()) {
        // Only unplugging loses ready answers.
        FUZZ_CHECK(popped_ + device_.answers_ready() == device_.answers_sent(),
                   "%llu answers popped and %zu ready, but %u sent",
                   static_cast<unsigned long long>(popped_), device_.answers_ready(),
                   device_.answers_sent());
    } else {
        FUZZ_CHECK(device_.answers_ready() == 0 && device_.answers_held() == 0,
                   "unplugged device still holds %zu ready and %zu held answers",
                   device_.answers_ready(), device_.answers_held());
    }
    FUZZ_CHECK(device_.frames_received_total() <= reports_accepted_,
               "%u frames received from %llu accepted reports", device_.frames_received_total(),
               static_cast<unsigned long long>(reports_accepted_));
    FUZZ_CHECK(device_.reports_rejected() <= reports_written_,
               "%u reports rejected of %llu written", device_.reports_rejected(),
               static_cast<unsigned long long>(reports_written_));
}

sim::FaultSchedule decode_faults(InputReader &in) {
    sim::FaultSchedule faults;
    for (uint8_t n = in.u8() % 5; n > 0; n--) {
        sim::FaultRule rule;
        std::string error;
        if (sim::parse_fault_rule(in.line(40), rule, error)) {
            faults.add(rule);
        }
    }
    return faults;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    InputReader in(data, size);
    const sim::FaultSchedule faults = decode_faults(in);
    if (faults.empty()) {
        // A new device maps and fills a new 2 MiB flash, which costs more than most runs; without
        // fault rules a copy of a device fresh from reset does the same, into memory already there.
        static const sim::SimDevice fresh_from_reset;
        static sim::SimDevice reused;
        reused = fresh_from_reset;
        DeviceFuzzRun(in, reused, false).run();
    } else {
        sim::SimDevice device(faults);
        DeviceFuzzRun(in, device, true).run();
    }
    return 0;
}
