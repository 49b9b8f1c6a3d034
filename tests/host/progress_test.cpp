// The progress line's text: bar, percentage and counts stay in range whatever the record holds.
#include <gtest/gtest.h>

#include "progress_display.h"

using host::Progress;
using host::render_progress;

TEST(ProgressLine, BarPercentAndStage) {
    Progress p{IAP_ST_FLASH_WRITE_PAGE_BUF, 3712, 7424, 1, 2};
    EXPECT_EQ(render_progress(p, 10), "range 1/2 [#####-----]  50% 3712/7424 bytes  write");
    p = Progress{IAP_ST_FLASH_CHECK, 7424, 7424, 2, 2};
    EXPECT_EQ(render_progress(p, 4), "range 2/2 [####] 100% 7424/7424 bytes  verify");
}

TEST(ProgressLine, EmptyAndOverrunRangesStayInBounds) {
    EXPECT_EQ(render_progress(Progress{IAP_ST_FLASH_UNLOCK, 0, 0, 1, 2}, 4),
              "range 1/2 [----]   0% 0/0 bytes  unlock");
    // The offset passes the size for a moment after the last page is acknowledged.
    EXPECT_EQ(render_progress(Progress{IAP_ST_FLASH_CHECK, 0x2100, 0x2000, 1, 1}, 4),
              "range 1/1 [####] 100% 8192/8192 bytes  verify");
}
