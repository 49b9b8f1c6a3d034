// The engine tests' fixture: a harness and a buffer the engine works on.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "engine_harness.h"

namespace test_support {

class EngineFixture : public ::testing::Test {
  protected:
    // The engine programs `buf`, filled with `fill`, as the first of `files` buffers.
    void use_buffer(uint8_t fill, uint8_t files) {
        std::memset(buf, fill, sizeof buf);
        h.iap.update_file_num = files;
        h.iap.local_img_buf = buf;
        h.iap.local_img_buf_size = sizeof buf;
    }
    // Ticks until the engine goes idle; returns how many it took (or -1 past the limit).
    int ticks_to_idle(int limit) {
        for (int i = 1; i <= limit; i++) {
            iap_timer_callback(&h.iap);
            if (h.iap.state == IAP_ST_IDLE) {
                return i;
            }
        }
        return -1;
    }

    uint8_t buf[0x4000];
    EngineHarness h;
};

}  // namespace test_support
