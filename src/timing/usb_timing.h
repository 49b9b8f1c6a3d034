// A timing model of a full-speed USB HID link and the flash behind it, for the simulated device:
// each output report takes one 1 ms frame, the device works through the reports in order (a
// sector erase, a page program after the page's last chunk, a checksum at a given rate), and an
// answer becomes readable in the frame after the device finished. The simulated device itself
// keeps no time; the link that carries its reports applies this model.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace timing {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

struct UsbTimingFigures {
    Nanos frame = std::chrono::milliseconds(1);   // one output report per frame
    Nanos erase = std::chrono::milliseconds(45);  // one 4 KiB sector
    Nanos page = std::chrono::microseconds(800);  // programming one 256-byte page
    double crc_bytes_per_second = 20e6;           // the device's CRC-32 of a range
};

// Parses "usb-fs[,erase=45ms,page=0.8ms,frame=1ms,crc=20MB/s]" (times in s, ms or us; the CRC
// rate in B/s, kB/s or MB/s, decimal). False with a reason when the text is not such a model.
bool parse_usb_timing(const std::string &text, UsbTimingFigures &out, std::string &error);

// Time the device works on one output report (report ID first, then the frame).
Nanos device_work(const UsbTimingFigures &f, const uint8_t *report, size_t len);

// The model of one link, in time of the steady clock from the given epoch.
class UsbLinkModel {
  public:
    UsbLinkModel(const UsbTimingFigures &figures, Clock::time_point epoch);

    // An output report written at `now`: returns when an answer the device makes to it becomes
    // readable. Reports queue for frames; the device takes them one after another.
    Clock::time_point on_report(Clock::time_point now, const uint8_t *report, size_t len);
    // When an answer the device releases at `now` on its own (a held-back one) becomes readable.
    Clock::time_point released_answer_ready(Clock::time_point now) const;

  private:
    int64_t frame_of(Clock::time_point t) const;
    Clock::time_point frame_start(int64_t frame) const;

    UsbTimingFigures figures_;
    Clock::time_point epoch_;
    int64_t last_out_frame_ = -1;
    Clock::time_point device_free_;
};

// What an update costs on this link with a host that reacts within the frame an answer arrives
// in: one step's reports in consecutive frames, the device's work, the answer in the next frame,
// the next step's first report in the frame after. image_bytes and tts_bytes are the programmed
// lengths (multiples of 256).
Nanos theoretical_update_time(const UsbTimingFigures &f, uint32_t image_bytes, uint32_t tts_bytes);
// The same for a verification of those ranges (each range's check, nothing written): what a
// station's check costs a board before its update.
Nanos theoretical_verify_time(const UsbTimingFigures &f, uint32_t image_bytes, uint32_t tts_bytes);

}  // namespace timing
