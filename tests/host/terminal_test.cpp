// The tool at a user's terminal (a pseudo-terminal): the progress line, the outcome line, the
// prompt before the end-of-run wait, Ctrl-C and termination.
#include <signal.h>

#include "tool_fixture.h"

namespace {

const std::string kErase = "\r\033[K";  // how the progress line is taken off the screen
const std::string kProgressEnd = " left\033[K";

ProcessOptions at_terminal(const std::string &wait_for, const std::string &type) {
    ProcessOptions o;
    o.terminal = true;
    o.limit = std::chrono::milliseconds(20000);
    o.wait_for = wait_for;
    o.then_write = [type] { return type; };
    o.env = {"HIDIAP_TRACE_SHUTDOWN=1"};
    return o;
}

}  // namespace

TEST_F(Tool, AtATerminalProgressGoesBeforeTheOutcomeAndThePromptAfter) {
    const ProcessResult r = simulate({}, "1MB", at_terminal("Press Enter to exit", "\n"));
    const std::string &s = r.screen;
    EXPECT_EQ(r.exit_status, 0) << s;
    const size_t outcome = s.find("hidiap: update succeeded: 8448 of 8448 bytes");
    const size_t prompt = s.find("Press Enter to exit");
    ASSERT_NE(outcome, std::string::npos) << s;
    EXPECT_NE(s.find("write  image ["), std::string::npos) << s;
    EXPECT_NE(s.find("verify TTS   [####################] 100% 8448/8448 bytes"), std::string::npos)
        << s;
    // The last progress line is taken off before the outcome, which comes before the prompt.
    EXPECT_LT(s.rfind(kProgressEnd), s.rfind(kErase, outcome));
    EXPECT_LT(outcome, prompt);
    // Protocol lines are never torn by the progress line.
    EXPECT_NE(s.find("\033[K[IAP]: flash reboot\r\r\n"), std::string::npos) << s;
}

TEST_F(Tool, CtrlCStopsTheUpdateInOrderAndSaysWhatIsVerified) {
    // The TTS check goes unanswered for 2.5 s: Ctrl-C comes while the image is verified.
    const ProcessResult r = simulate({"--sim-fault", "drop:check:2"}, "1MB",
                                     at_terminal("flash check from 00080000", "\x03"));
    const std::string &s = r.screen;
    EXPECT_EQ(r.exit_status, 130) << s;
    const size_t outcome = s.find("hidiap: update interrupted (Ctrl-C) after ");
    ASSERT_NE(outcome, std::string::npos) << s;
    EXPECT_NE(s.find("verified: image 0x008000-0x009d00. The device may be left partly "
                     "programmed and needs a new update.",
                     outcome),
              std::string::npos)
        << s;
    EXPECT_LT(s.rfind(kProgressEnd), s.rfind(kErase, outcome));
    const size_t stopped = s.find("hidiap: trace: worker threads stopped");
    const size_t closed = s.find("hidiap: trace: device closed");
    ASSERT_NE(stopped, std::string::npos) << s;
    EXPECT_LT(stopped, closed);
    EXPECT_EQ(s.find("Press Enter"), std::string::npos);
    EXPECT_EQ(s.find("Firmware updated successfully"), std::string::npos);
}

TEST_F(Tool, TerminationEndsWithStatus143) {
    ProcessOptions o = at_terminal("flash check from 00080000", "");
    o.then_signal = SIGTERM;
    const ProcessResult r = simulate({"--sim-fault", "drop:check:2"}, "1MB", o);
    EXPECT_EQ(r.exit_status, 143) << r.screen;
    EXPECT_NE(r.screen.find("hidiap: update terminated (SIGTERM) after "), std::string::npos);
}

TEST_F(Tool, NoProgressLineWhenStandardOutputIsAPipe) {
    ProcessOptions o = at_terminal("", "");
    o.stdout_to_pipe = true;
    const ProcessResult r = simulate({"--no-wait"}, "1MB", o);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("Firmware updated successfully !\r\n"), std::string::npos);
    EXPECT_EQ(r.screen.find("\033"), std::string::npos) << r.screen;
    EXPECT_NE(r.screen.find("hidiap: update succeeded"), std::string::npos) << r.screen;
}

TEST_F(Tool, ABackgroundJobNeverReadsTheTerminal) {
    // An interactive shell with job control puts the tool in a process group of its own; reading
    // the terminal from there would stop it ("Stopped (tty input)").
    const std::string command = kTool + " --simulate " + path("img.bin") + " " + path("tts.bin") +
                                " 1MB >/dev/null & wait $!; echo status=$?";
    ProcessOptions o = at_terminal("", "");
    o.limit = std::chrono::milliseconds(10000);
    const ProcessResult r = run_process("/bin/bash", {"--norc", "--noprofile", "-ic", command}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.screen.find("status=0"), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find("Press Enter"), std::string::npos) << r.screen;
}
