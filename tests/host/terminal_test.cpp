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

// The operator's panel of an eight-slot fixture: a fixed row per slot in the map's order, the
// failed slot's row with its reason and what to do, the totals above.
TEST_F(Tool, AtATerminalTheStationShowsARowPerSlot) {
    std::string map;
    std::string ports;
    for (int n = 1; n <= 8; n++) {
        map += "bay" + std::to_string(n) + " 1-" + std::to_string(n) + "\n";
        ports += (n == 1 ? "" : ",") + std::string("1-") + std::to_string(n);
    }
    std::ofstream(path("eight.slots")) << map;
    ProcessOptions o;
    o.terminal = true;
    o.limit = std::chrono::milliseconds(30000);
    o.env = {"XDG_STATE_HOME=" + path("state")};
    const ProcessResult r =
        run_process(kTool,
                    {"station", "--simulate", "--count", "8", "--sim-arrivals", "0x4,150x4",
                     "--sim-ports", ports, "--slots", path("eight.slots"), "--sim-fault",
                     "SIM0003/drop:page:3", path("img.bin"), path("tts.bin"), "1MB"},
                    o);
    const std::string &s = r.screen;
    EXPECT_EQ(r.exit_status, 1) << s;
    EXPECT_NE(s.find("bay8  empty"), std::string::npos) << s;
    EXPECT_NE(s.find("bay1  PASS        updated"), std::string::npos) << s;
    const size_t failed =
        s.find("bay3  FAIL        the page write at 0x008200 was not answered; sent once");
    ASSERT_NE(failed, std::string::npos) << s;
    EXPECT_NE(s.find("; re-plug to retry", failed), std::string::npos) << s;
    EXPECT_NE(s.find("station: 7 updated, 0 current, 1 failed, 0 in progress"), std::string::npos)
        << s;
    // The engine's lines went to a log per board, not onto the panel.
    EXPECT_EQ(s.find("[IAP]: Erase @"), std::string::npos) << s;
    size_t logs = 0;
    for (const auto &f : fs::directory_iterator(path("state/hidiap/logs"))) {
        logs += f.path().filename().string().find("-bay") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(logs, 8u);
    // The rows stand in the map's order, whatever order the boards end in.
    const size_t last = s.rfind("station: 7 updated, 0 current, 1 failed, 0 in progress");
    EXPECT_LT(s.find("bay1  ", last), s.find("bay8  ", last)) << s;
}
