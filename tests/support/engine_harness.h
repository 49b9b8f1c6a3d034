// Drives the engine the way the host does, but synchronously: it records every frame the engine
// hands to its transmit hook, every event, and every byte of console text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/console.h"
#include "engine/iap.h"
#include "reference_checksums.h"

namespace test_support {

using Frame = std::vector<uint8_t>;

class EngineHarness {
  public:
    EngineHarness();
    ~EngineHarness();
    EngineHarness(const EngineHarness &) = delete;
    EngineHarness &operator=(const EngineHarness &) = delete;

    iap_env_t iap{};
    std::vector<Frame> frames;
    std::vector<iap_event_t> events;
    std::string console;

    // Frames of one command code, in order.
    std::vector<Frame> frames_of(uint8_t command) const;
    size_t count_of(uint8_t command) const { return frames_of(command).size(); }
    // Feeds an answer: 0x80, command, result, optional CRC-32 in bytes 6-9.
    void answer(uint8_t command, uint8_t result = 0, uint32_t crc = 0);
    // Feeds n ticks; returns how many returned 1 (skipped).
    int ticks(int n);
    void clear_log();

  private:
    ConsoleSinkScope capture_;  // the console text goes into `console`
    static void on_tx(uint8_t *dat, int len);
    static void on_event(iap_event_t evt);
    static EngineHarness *current_;
};

// The device's answer to a command as the engine receives it (the report ID already taken off):
// 0x80, command, result, optional CRC-32 in bytes 6-9.
std::vector<uint8_t> answer_frame(uint8_t command, uint8_t result = 0, uint32_t crc = 0);

// A frame built independently of the engine, for comparison.
Frame make_frame(uint8_t command, const std::vector<uint8_t> &payload);

}  // namespace test_support
