#include "engine_harness.h"

#include <algorithm>

#include "console/console.h"

namespace test_support {

EngineHarness *EngineHarness::current_ = nullptr;

EngineHarness::EngineHarness() : capture_([this](std::string_view text) { console.append(text); }) {
    current_ = this;
    iap_init(&iap, &EngineHarness::on_tx, &EngineHarness::on_event);
}

EngineHarness::~EngineHarness() {
    current_ = nullptr;
}

void EngineHarness::on_tx(uint8_t *dat, int len) {
    current_->frames.emplace_back(dat, dat + len);
}

void EngineHarness::on_event(iap_event_t evt) {
    current_->events.push_back(evt);
}

std::vector<Frame> EngineHarness::frames_of(uint8_t command) const {
    std::vector<Frame> out;
    for (const Frame &f : frames) {
        if (f.size() > 3 && f[3] == command) {
            out.push_back(f);
        }
    }
    return out;
}

std::vector<uint8_t> answer_frame(uint8_t command, uint8_t result, uint32_t crc) {
    std::vector<uint8_t> a = {0xA5,
                              12,
                              0,
                              0x80,
                              command,
                              result,
                              static_cast<uint8_t>(crc),
                              static_cast<uint8_t>(crc >> 8),
                              static_cast<uint8_t>(crc >> 16),
                              static_cast<uint8_t>(crc >> 24)};
    a.resize(63);
    return a;
}

void EngineHarness::answer(uint8_t command, uint8_t result, uint32_t crc) {
    std::vector<uint8_t> a = answer_frame(command, result, crc);
    iap_rx_callback(&iap, a.data(), static_cast<int>(a.size()));
}

int EngineHarness::ticks(int n) {
    int skipped = 0;
    for (int i = 0; i < n; i++) {
        skipped += static_cast<int>(iap_timer_callback(&iap));
    }
    return skipped;
}

void EngineHarness::clear_log() {
    frames.clear();
    events.clear();
    console.clear();
}

Frame make_frame(uint8_t command, const std::vector<uint8_t> &payload) {
    Frame f(4 + payload.size());
    f[0] = 0xA5;
    f[1] = static_cast<uint8_t>(payload.size() + 6);
    f[2] = static_cast<uint8_t>((payload.size() + 6) >> 8);
    f[3] = command;
    std::copy(payload.begin(), payload.end(), f.begin() + 4);
    const uint16_t crc = reference_crc16(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

}  // namespace test_support
