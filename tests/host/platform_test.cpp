// The interrupt hook: Ctrl-C must reach the tool's function instead of killing the process.
#include "platform.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

volatile std::sig_atomic_t interrupted_with = 0;

void remember(int signal_number) {
    interrupted_with = signal_number;
}

TEST(InterruptHandler, CtrlCCallsTheInstalledFunctionAndTheProcessLivesOn) {
    host::install_interrupt_handler(remember);
    std::raise(SIGINT);
    EXPECT_EQ(interrupted_with, SIGINT);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace
