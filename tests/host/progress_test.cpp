// The progress line's text: bar, percentage, rate and times stay in range whatever it is given.
#include <gtest/gtest.h>

#include "host/present/progress_display.h"

using host::ProgressView;
using host::render_progress;

TEST(ProgressLine, PhaseFileBarPercentRateAndTimes) {
    // Half of both files in 2 s: 2 s more to go.
    ProgressView p{"write", "image", 4224, 8448, 2.0};
    EXPECT_EQ(render_progress(p, 10),
              "write  image [#####-----]  50% 4224/8448 bytes    2.1 KiB/s 0:02, 0:02 left");
    p = ProgressView{"verify", "TTS", 8448, 8448, 61.0};
    EXPECT_EQ(render_progress(p, 4),
              "verify TTS   [####] 100% 8448/8448 bytes    0.1 KiB/s 1:01, 0:00 left");
}

TEST(ProgressLine, NothingDoneAndOverrunStayInBounds) {
    EXPECT_EQ(render_progress(ProgressView{"unlock", "image", 0, 0, 0.0}, 4),
              "unlock image [----]   0% 0/0 bytes    0.0 KiB/s 0:00, -:-- left");
    EXPECT_EQ(render_progress(ProgressView{"verify", "image", 0x2100, 0x2000, 1.0}, 4),
              "verify image [####] 100% 8192/8192 bytes    8.0 KiB/s 0:01, 0:00 left");
}
