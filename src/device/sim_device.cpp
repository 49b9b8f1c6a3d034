#include "device/sim_device.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "device/device_crc.h"

namespace sim {

namespace {

constexpr size_t kFrameOverhead = 6;  // head, length, command, CRC-16
constexpr size_t kFrameHeader = 4;    // head, length, command
// The report ID takes one byte of the report: longer frames arrive cut to this many bytes.
constexpr size_t kFrameBytesPerReport = kReportSize - 1;
constexpr size_t kAnswerFrameLength = 8;  // head, length, mark, command, result, CRC-16
constexpr size_t kCheckAnswerExtra = 4;   // CRC-32 of a successful check
constexpr size_t kAddressAndCount = 6;    // u32 address, u16 byte count
constexpr uint32_t kWriteMax = 256;       // data bytes of one whole-page write

uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(get_u16(p)) | static_cast<uint32_t>(get_u16(p + 2)) << 16;
}

void put_u16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint8_t result_of(FlashStatus status) {
    switch (status) {
        case FlashStatus::kOk:
            return kResultOk;
        case FlashStatus::kLocked:
            return kResultLocked;
        case FlashStatus::kBadAddress:
            break;
    }
    return kResultBadAddress;
}

}  // namespace

SimDevice::SimDevice() = default;

SimDevice::SimDevice(FaultSchedule faults) : faults_(std::move(faults)) {}

bool SimDevice::receive(const uint8_t *report, size_t len) {
    if (unplugged_) {
        return false;
    }
    if (report == nullptr) {
        len = 0;
    }
    len = std::min(len, kReportSize);
    if (len < 1 + kFrameOverhead || report[0] != kOutputReportId || report[1] != kFrameHead) {
        reports_rejected_++;
        return true;
    }
    const uint8_t *frame = report + 1;
    const uint16_t declared = get_u16(frame + 1);
    const size_t expected = std::min<size_t>(declared, kFrameBytesPerReport);
    if (declared < kFrameOverhead || len - 1 < expected) {
        reports_rejected_++;
        return true;
    }

    const uint8_t command = frame[3];
    frames_offered_++;
    frames_offered_by_cmd_[command]++;
    switch (faults_.for_frame(command, frames_offered_by_cmd_[command], frames_offered_)) {
        case FrameFault::kUnplug:
            unplug();
            return false;
        case FrameFault::kFailWrite:
            return false;
        case FrameFault::kNone:
            break;
    }
    frames_by_cmd_[command]++;
    handle_frame(frame, expected, declared);
    if (leaves_on_reboot_ && rebooted_) {
        unplug();
    }
    return true;
}

void SimDevice::handle_frame(const uint8_t *frame, size_t arrived, uint16_t declared) {
    const uint8_t command = frame[3];
    const bool whole = declared <= kFrameBytesPerReport;
    if (whole) {
        const size_t body = declared - 2;
        if (crc16_ccitt_false(frame, body) != get_u16(frame + body)) {
            answer(command, kResultBadCrc, nullptr, next_answer_faults(command));
            return;
        }
    }
    const uint8_t *payload = frame + kFrameHeader;
    const size_t declared_payload = declared - kFrameOverhead;
    const size_t arrived_payload = whole ? declared_payload : arrived - kFrameHeader;
    if (command == kCmdPage) {
        handle_chunk(payload, declared_payload);
        return;
    }
    const AnswerFaults faults = next_answer_faults(command);
    uint32_t check_crc = 0;
    uint8_t result = faults.error_result;
    if (!faults.error) {
        result =
            perform(command, payload, arrived_payload, declared_payload, whole, check_crc, faults);
    }
    const bool with_crc = command == kCmdCheck && !faults.error && result == kResultOk;
    answer(command, result, with_crc ? &check_crc : nullptr, faults);
}

uint8_t SimDevice::perform(uint8_t command, const uint8_t *payload, size_t arrived, size_t declared,
                           bool whole, uint32_t &check_crc, const AnswerFaults &faults) {
    // Every command but the two writes fits a report whole with an exact payload.
    const auto payload_is = [&](size_t n) { return whole && declared == n; };
    switch (command) {
        case kCmdLock:
            if (!payload_is(0)) {
                return kResultBadLength;
            }
            flash_.lock();
            return kResultOk;
        case kCmdUnlock:
            if (!payload_is(0)) {
                return kResultBadLength;
            }
            flash_.unlock();
            return kResultOk;
        case kCmdReboot:
            if (!payload_is(0)) {
                return kResultBadLength;
            }
            // The device restarts into its application: locked, with nothing half-collected.
            rebooted_ = true;
            flash_.lock();
            page_buffer_.reset();
            return kResultOk;
        case kCmdErase:
            if (!payload_is(4)) {
                return kResultBadLength;
            }
            if (faults.no_erase) {
                return kResultOk;  // answered as done; the sector keeps what it held
            }
            return result_of(flash_.erase_sector(get_u32(payload)));
        case kCmdCheck: {
            if (!payload_is(8)) {
                return kResultBadLength;
            }
            const uint32_t start = get_u32(payload);
            const uint32_t length = get_u32(payload + 4);
            if (!FlashModel::contains(start, length)) {
                return kResultBadAddress;
            }
            check_crc = flash_.crc32_jam(start, length);
            return kResultOk;
        }
        case kCmdWrite:
            return write_page(payload, arrived, declared, whole, faults);
        default:
            return kResultUnknownCmd;
    }
}

uint8_t SimDevice::write_page(const uint8_t *payload, size_t arrived, size_t declared, bool whole,
                              const AnswerFaults &faults) {
    if (declared < kAddressAndCount) {
        return kResultBadLength;
    }
    const uint32_t addr = get_u32(payload);
    const uint32_t count = get_u16(payload + 4);
    if (count == 0 || count > kWriteMax || declared != kAddressAndCount + count) {
        return kResultBadLength;
    }
    if (flash_.locked()) {
        return kResultLocked;
    }
    if (!FlashModel::contains(addr, count)) {
        return kResultBadAddress;
    }
    // A frame longer than a report loses its tail: program only the bytes that arrived.
    const size_t got = whole ? count : std::min<size_t>(count, arrived - kAddressAndCount);
    flash_.program(addr, payload + kAddressAndCount, got);
    if (faults.corrupt) {
        flash_.flip_bit(addr + faults.corrupt_offset, 0);
    }
    // Answering success here would hide that the rest of the data never reached the device.
    return got == count ? kResultOk : kResultTruncated;
}

void SimDevice::handle_chunk(const uint8_t *payload, size_t declared) {
    // u32 address, u16 count, count data bytes, one trailing byte.
    const size_t count = declared >= kAddressAndCount ? get_u16(payload + 4) : 0;
    if (declared < kAddressAndCount || count == 0 || count > PageBuffer::kChunkMax ||
        declared != kAddressAndCount + count + 1) {
        // Not a chunk the buffer can place: refuse it at once, and the page with it.
        page_buffer_.reset();
        answer(kCmdPage, kResultBadLength, nullptr, next_answer_faults(kCmdPage));
        return;
    }
    const PageBuffer::Outcome outcome =
        page_buffer_.add(get_u32(payload), payload + kAddressAndCount, count, FlashModel::kSize);
    if (outcome == PageBuffer::Outcome::kPending) {
        return;
    }
    const AnswerFaults faults = next_answer_faults(kCmdPage);
    uint8_t result = faults.error_result;
    if (faults.error) {
        // Refused: the collected page is dropped unwritten.
    } else if (outcome == PageBuffer::Outcome::kRejected) {
        result = kResultBadAddress;
    } else if (outcome == PageBuffer::Outcome::kIncomplete) {
        result = kResultPageIncomplete;
    } else {
        const uint32_t base = page_buffer_.page_address();
        result = result_of(flash_.program(base, page_buffer_.data(), page_buffer_.filled()));
        if (result == kResultOk && faults.corrupt) {
            flash_.flip_bit(base + faults.corrupt_offset, 0);
        }
    }
    answer(kCmdPage, result, nullptr, faults);
}

AnswerFaults SimDevice::next_answer_faults(uint8_t command) {
    answer_occasions_++;
    answer_occasions_by_cmd_[command]++;
    return faults_.for_answer(command, answer_occasions_by_cmd_[command], answer_occasions_);
}

void SimDevice::answer(uint8_t command, uint8_t result, const uint32_t *crc,
                       const AnswerFaults &faults) {
    if (faults.drop) {
        return;
    }
    Report report{};
    report[0] = kInputReportId;
    uint8_t *frame = report.data() + 1;
    const size_t length = kAnswerFrameLength + (crc != nullptr ? kCheckAnswerExtra : 0);
    frame[0] = kFrameHead;
    put_u16(frame + 1, static_cast<uint32_t>(length));
    frame[3] = kAnswerMark;
    frame[4] = command;
    frame[5] = result;
    if (crc != nullptr) {
        put_u16(frame + 6, *crc);
        put_u16(frame + 8, *crc >> 16);
    }
    put_u16(frame + length - 2, crc16_ccitt_false(frame, length - 2));

    const int copies = faults.dup ? 2 : 1;
    for (int i = 0; i < copies; i++) {
        if (faults.delay_ticks > 0) {
            held_.push_back(Held{report, command, faults.delay_ticks});
        } else {
            make_ready(report, command);
        }
    }
}

void SimDevice::make_ready(const Report &report, uint8_t command) {
    ready_.push_back(report);
    answers_sent_++;
    answers_by_cmd_[command]++;
}

bool SimDevice::pop_answer(Report &out) {
    if (ready_.empty()) {
        return false;
    }
    out = ready_.front();
    ready_.pop_front();
    return true;
}

void SimDevice::tick() {
    std::deque<Held> still_held;
    for (Held &held : held_) {
        if (--held.ticks_left == 0) {
            make_ready(held.report, held.command);
        } else {
            still_held.push_back(held);
        }
    }
    held_.swap(still_held);
}

void SimDevice::unplug() {
    unplugged_ = true;
    ready_.clear();
    held_.clear();
    page_buffer_.reset();
}

uint32_t SimDevice::frames_received(uint8_t command) const {
    return frames_by_cmd_[command];
}

uint32_t SimDevice::frames_received_total() const {
    return std::accumulate(frames_by_cmd_.begin(), frames_by_cmd_.end(), 0u);
}

uint32_t SimDevice::answers_for(uint8_t command) const {
    return answers_by_cmd_[command];
}

}  // namespace sim
