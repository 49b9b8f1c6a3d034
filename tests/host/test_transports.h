// Devices that misbehave in ways the simulated device's fault rules do not reach, shared by the
// host tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/link/transport.h"

namespace test_support {

// A device that takes every report and never answers: answers are handed in by the test.
class SilentTransport : public host::Transport {
  public:
    int write(const uint8_t *, size_t len) override { return static_cast<int>(len); }
    int read(uint8_t *, size_t, int) override { return 0; }
    bool product_string(std::wstring &) override { return false; }
};

// A device that is gone: every read fails at once and says so; writes fail and are counted.
class VanishedTransport : public host::Transport {
  public:
    int write(const uint8_t *, size_t) override {
        writes++;
        return -1;
    }
    int read(uint8_t *, size_t, int) override { return -1; }
    bool product_string(std::wstring &) override { return false; }
    bool disconnected() const override { return true; }
    std::atomic<int> writes{0};
};

}  // namespace test_support
