#include "timing/usb_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace timing {

namespace {

constexpr uint8_t kCmdErase = 0x83;
constexpr uint8_t kCmdCheck = 0x91;
constexpr uint8_t kCmdPage = 0x93;
constexpr uint32_t kPageSize = 256;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kChunksPerPage = 5;

uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "45ms", "0.8ms", "800us", "1s": a positive duration.
bool parse_duration(const std::string &text, Nanos &out) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    const std::string unit = end;
    double scale = 0;
    if (unit == "s") {
        scale = 1e9;
    } else if (unit == "ms") {
        scale = 1e6;
    } else if (unit == "us") {
        scale = 1e3;
    }
    if (end == text.c_str() || scale == 0 || !(v > 0) || v * scale > 1e12) {
        return false;
    }
    out = Nanos(static_cast<int64_t>(std::llround(v * scale)));
    return true;
}

// "20MB/s", "500kB/s", "1000000B/s": a positive rate in bytes per second.
bool parse_rate(const std::string &text, double &out) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    const std::string unit = end;
    double scale = 0;
    if (unit == "MB/s") {
        scale = 1e6;
    } else if (unit == "kB/s") {
        scale = 1e3;
    } else if (unit == "B/s") {
        scale = 1;
    }
    if (end == text.c_str() || scale == 0 || !(v > 0) || v * scale > 1e12) {
        return false;
    }
    out = v * scale;
    return true;
}

Nanos crc_time(const UsbTimingFigures &f, uint32_t bytes) {
    return Nanos(static_cast<int64_t>(std::llround(bytes / f.crc_bytes_per_second * 1e9)));
}

// Frames from a step's first report to the frame its successor's first report can take.
int64_t step_frames(const UsbTimingFigures &f, int64_t reports, Nanos work) {
    return reports + work / f.frame + 1;
}

// Frames of programming and verifying one range of `bytes` bytes.
int64_t range_frames(const UsbTimingFigures &f, uint32_t bytes) {
    const int64_t pages = bytes / kPageSize;
    const int64_t sectors = (bytes + kSectorSize - 1) / kSectorSize;
    return step_frames(f, 1, Nanos::zero())                  // unlock
           + sectors * step_frames(f, 1, f.erase)            // erases
           + pages * step_frames(f, kChunksPerPage, f.page)  // pages
           + step_frames(f, 1, crc_time(f, bytes));          // check
}

}  // namespace

bool parse_usb_timing(const std::string &text, UsbTimingFigures &out, std::string &error) {
    std::stringstream in(text);
    std::string item;
    UsbTimingFigures f;
    bool first = true;
    while (std::getline(in, item, ',')) {
        if (first) {
            first = false;
            if (item != "usb-fs") {
                error = "unknown timing model '" + item + "' (known: usb-fs)";
                return false;
            }
            continue;
        }
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool ok = false;
        if (key == "erase") {
            ok = parse_duration(value, f.erase);
        } else if (key == "page") {
            ok = parse_duration(value, f.page);
        } else if (key == "frame") {
            ok = parse_duration(value, f.frame);
        } else if (key == "crc") {
            ok = parse_rate(value, f.crc_bytes_per_second);
        } else {
            error = "unknown figure '" + key + "' (known: erase, page, frame, crc)";
            return false;
        }
        if (!ok) {
            error = "bad value for " + key + ": '" + value + "'";
            return false;
        }
    }
    if (first) {
        error = "empty timing model";
        return false;
    }
    out = f;
    return true;
}

Nanos device_work(const UsbTimingFigures &f, const uint8_t *report, size_t len) {
    // Report ID, head, length (2), command, payload.
    if (len < 5) {
        return Nanos::zero();
    }
    const uint8_t *payload = report + 5;
    switch (report[4]) {
        case kCmdErase:
            return f.erase;
        case kCmdCheck:
            return len >= 13 ? crc_time(f, get_u32(payload + 4)) : Nanos::zero();
        case kCmdPage: {
            // The device programs its page buffer once the chunk that ends the page is in.
            if (len < 11) {
                return Nanos::zero();
            }
            const uint32_t end = get_u32(payload) + (payload[4] | payload[5] << 8);
            return end % kPageSize == 0 ? f.page : Nanos::zero();
        }
        default:
            return Nanos::zero();
    }
}

UsbLinkModel::UsbLinkModel(const UsbTimingFigures &figures, Clock::time_point epoch)
    : figures_(figures), epoch_(epoch), device_free_(epoch) {}

int64_t UsbLinkModel::frame_of(Clock::time_point t) const {
    return (t - epoch_) / figures_.frame;
}

Clock::time_point UsbLinkModel::frame_start(int64_t frame) const {
    return epoch_ + std::chrono::duration_cast<Clock::duration>(figures_.frame * frame);
}

Clock::time_point UsbLinkModel::on_report(Clock::time_point now, const uint8_t *report,
                                          size_t len) {
    // A report written during a frame goes out in the next free one; the device has it then.
    last_out_frame_ = std::max(frame_of(now) + 1, last_out_frame_ + 1);
    const Clock::time_point arrival = frame_start(last_out_frame_);
    const Clock::time_point finish =
        std::max(arrival, device_free_) +
        std::chrono::duration_cast<Clock::duration>(device_work(figures_, report, len));
    device_free_ = finish;
    return frame_start(frame_of(finish) + 1);
}

Clock::time_point UsbLinkModel::released_answer_ready(Clock::time_point now) const {
    return frame_start(std::max(frame_of(now), frame_of(device_free_)) + 1);
}

Nanos theoretical_update_time(const UsbTimingFigures &f, uint32_t image_bytes, uint32_t tts_bytes) {
    const int64_t reboot = step_frames(f, 1, Nanos::zero());
    return f.frame * (range_frames(f, image_bytes) + range_frames(f, tts_bytes) + reboot);
}

Nanos theoretical_verify_time(const UsbTimingFigures &f, uint32_t image_bytes, uint32_t tts_bytes) {
    return f.frame * (step_frames(f, 1, crc_time(f, image_bytes)) +
                      step_frames(f, 1, crc_time(f, tts_bytes)));
}

}  // namespace timing
