// The interrupt hook: Ctrl-C must be noted for the tool instead of killing the process.
#include "host/platform/platform.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(InterruptHandler, CtrlCIsNotedAndTheProcessLivesOn) {
    host::install_interrupt_handlers();
    std::raise(SIGINT);
    EXPECT_EQ(host::interrupt_requested(), 130);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

}  // namespace
