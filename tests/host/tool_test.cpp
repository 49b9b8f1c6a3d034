// The built tool as a user runs it: standard output, exit status and, through --sim-flash, what
// the simulated device holds afterwards.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "tool_fixture.h"

TEST_F(Tool, SimulatedRunPrintsExactlyWhatARealRunPrints) {
    const ProcessResult r = simulate({});
    ASSERT_FALSE(r.timed_out);
    const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x80000);
    const std::string image_crc = jamcrc_hex(expected, 0x8000, 7424);
    const std::string tts_crc = jamcrc_hex(expected, 0x80000, 1024);
    EXPECT_EQ(r.out, kUsage +
                         "OTA file size is 40000\r\n"
                         "TTS file size is 1000\r\n"
                         "Product String     : Simulated IAP device\n"
                         "[IAP]: flash unlock\r\n"
                         "[IAP]: Erase @ 0x00008000\r\n"
                         "[IAP]: Erase @ 0x00009000\r\n"
                         "[IAP]: flash check from 00008000, size 7424 \r\n"
                         "[IAP]: Response CRC:" +
                         image_crc + " local_crc:" + image_crc +
                         " \r\n"
                         "[IAP]: flash unlock\r\n"
                         "[IAP]: Erase @ 0x00080000\r\n"
                         "[IAP]: flash check from 00080000, size 1024 \r\n"
                         "[IAP]: Response CRC:" +
                         tts_crc + " local_crc:" + tts_crc +
                         " \r\n"
                         "[IAP]: check done!update_done_num:2\r\n"
                         "[IAP]: flash reboot\r\n"
                         "Firmware updated successfully !\r\n");
    // Standard error, a pipe here, has the outcome line alone: no progress line.
    EXPECT_EQ(r.err.rfind("hidiap: update succeeded: 8448 of 8448 bytes programmed in ", 0), 0u)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(read_file("flash.bin") == expected);
}

TEST_F(Tool, TokensPlaceTheTtsData) {
    const std::pair<const char *, uint32_t> cases[] = {
        {"1MB", 0x80000}, {"1MBx", 0x80000}, {"1mb", 0x180000}, {"2MB", 0x180000}};
    for (const auto &[token, addr] : cases) {
        const ProcessResult r = simulate({}, token);
        EXPECT_EQ(r.exit_status, 0) << token;
        // Only a token of neither size is warned about; it still goes to 0x180000.
        EXPECT_EQ(r.err.find("begins with neither 1MB nor 2MB") != std::string::npos,
                  std::string(token) == "1mb")
            << token << r.err;
        EXPECT_TRUE(read_file("flash.bin") == test_support::expected_flash(image, tts, addr))
            << token;
    }
}

TEST_F(Tool, RoundingProgramsThePrefillAfterTheFile) {
    image = test_support::random_bytes(0x9001, 5);
    write_file("img.bin", image);
    const ProcessResult r = simulate({});
    EXPECT_NE(r.out.find("flash check from 00008000, size 4352 \r\n"), std::string::npos);
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<uint8_t> flash = read_file("flash.bin");
    ASSERT_EQ(flash.size(), 0x200000u);
    EXPECT_EQ(flash[0x9000], image[0x9000]);
    EXPECT_EQ(flash[0x9001], 0xFF);
}

TEST_F(Tool, FailedUpdatesExitWithStatusOne) {
    struct Case {
        const char *rule;
        const char *last_line;
    };
    const Case cases[] = {
        {"drop:page:3", "IAP_EVT_CMD_RX_TIMEOUT\r\n"},
        {"corrupt:page:5", "IAP_EVT_CMD_ERROR\r\n"},
        {"unplug:erase:2", "IAP_EVT_CMD_RX_TIMEOUT\r\n"},
    };
    for (const Case &c : cases) {
        const ProcessResult r = simulate({"--sim-fault", c.rule});
        EXPECT_EQ(r.exit_status, 1) << c.rule;
        const std::string tail = c.last_line;
        ASSERT_GE(r.out.size(), tail.size()) << c.rule;
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << c.rule;
        EXPECT_EQ(r.out.find("Firmware updated successfully"), std::string::npos) << c.rule;
        EXPECT_NE(r.err.find("update failed"), std::string::npos) << c.rule;
    }
}

TEST_F(Tool, ARefusedStepTimesOutAfterItsResends) {
    const ProcessResult r =
        simulate({"--sim-fault", "error:unlock:1:9", "--sim-fault", "error:unlock:2:9",
                  "--sim-fault", "error:unlock:3:9", "--sim-fault", "error:unlock:4:9"});
    EXPECT_EQ(r.exit_status, 1);
    size_t refusals = 0;
    for (size_t at = 0;
         (at = r.out.find("[IAP]: Command 00000082, RET 09\r\n", at)) != std::string::npos; at++) {
        refusals++;
    }
    EXPECT_EQ(refusals, 4u);
    EXPECT_EQ(r.out.substr(r.out.size() - 24), "IAP_EVT_CMD_RX_TIMEOUT\r\n");
}

TEST_F(Tool, ASurvivedErrorAnswerIsNotTheOutcome) {
    const ProcessResult r = simulate({"--sim-fault", "error:check:1:7"});
    EXPECT_NE(r.out.find("IAP_EVT_CMD_ERROR\r\n"), std::string::npos);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 33), "Firmware updated successfully !\r\n");
}

TEST_F(Tool, EnterTypedEarlyDoesNotCutTheUpdateShort) {
    ProcessOptions early;
    early.stdin_mode = Stdin::Newline;
    const ProcessResult r = simulate({}, "1MB", early);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("Firmware updated successfully !\r\n"), std::string::npos);
}

TEST_F(Tool, AfterTheOutcomeItWaitsForACharacter) {
    ProcessOptions held;
    held.stdin_mode = Stdin::HeldOpen;
    held.wait_for = "Firmware updated successfully !\r\n";
    held.then_write = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return std::string("\n");
    };
    const auto begin = std::chrono::steady_clock::now();
    const ProcessResult r = simulate({}, "1MB", held);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_GE(took, std::chrono::milliseconds(300));
}

TEST_F(Tool, OverlappingRangesWarnAndTheTtsDataWins) {
    image = test_support::random_bytes(0x80000 + 0x1234, 21);
    write_file("img.bin", image);
    const ProcessResult r = simulate({});
    EXPECT_NE(r.err.find("overlap"), std::string::npos);
    EXPECT_NE(r.err.find("0x008000-0x081300"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("0x080000-0x080400"), std::string::npos) << r.err;
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(read_file("flash.bin") == test_support::expected_flash(image, tts, 0x80000));
}

TEST_F(Tool, LargestFilesAreProgrammedWhole) {
    image = test_support::random_bytes(2080768, 31);
    tts = test_support::random_bytes(262144, 32);
    write_file("img.bin", image);
    write_file("tts.bin", tts);
    const ProcessResult r = simulate({}, "2MB");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(read_file("flash.bin") == test_support::expected_flash(image, tts, 0x180000));
}

TEST_F(Tool, WithoutADeviceItSaysSoAndExitsThree) {
    const ProcessResult r = run_process(kTool, {path("img.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(r.out,
              kUsage + "OTA file size is 40000\r\nTTS file size is 1000\r\nhandle get failed\n");
    EXPECT_EQ(r.exit_status, 3);
}

TEST_F(Tool, HelpAndVersionExitZero) {
    const ProcessResult help = run_process(kTool, {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("--sim-fault"), std::string::npos);
    EXPECT_NE(help.out.find("4    a device matched but could not be opened"), std::string::npos);
    EXPECT_NE(help.out.find("130  interrupted (Ctrl-C)"), std::string::npos);
    const ProcessResult version = run_process(kTool, {"--version"});
    EXPECT_EQ(version.exit_status, 0);
    // The answer alone, without the usage line an update starts with.
    EXPECT_EQ(help.out.find(kUsage), std::string::npos);
    EXPECT_EQ(version.out.rfind("hidiap ", 0), 0u);
}

TEST_F(Tool, ArgumentsPastTheThirdAreIgnoredWithAWarning) {
    const ProcessResult r =
        run_process(kTool, {"--simulate", path("img.bin"), path("tts.bin"), "1MB", "more", "x"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find("warning: arguments past the third are ignored: 'more' 'x'"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Firmware updated successfully !\r\n"), std::string::npos);
}

TEST(Documentation, ReadmeAndManPageNameEveryOptionAndExitStatusOfTheHelp) {
    const std::string help = run_process(kTool, {"--help"}).out;
    auto text_of = [](const std::string &name) {
        std::ifstream in(std::string(HIDIAP_SOURCE_DIR) + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string readme = text_of("README.md");
    const std::string man = text_of("docs/hidiap.1");
    ASSERT_FALSE(readme.empty());
    ASSERT_FALSE(man.empty());
    size_t options = 0;
    for (size_t at = 0; (at = help.find("--", at)) != std::string::npos; options++) {
        const size_t end = help.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
        const std::string option = help.substr(at, end - at);
        at = end;
        std::string roff;  // roff writes each hyphen as \-
        for (char c : option) {
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        }
        EXPECT_NE(readme.find("`" + option), std::string::npos) << option;
        EXPECT_NE(man.find(roff), std::string::npos) << option;
    }
    EXPECT_GE(options, 9u);
    for (const char *status : {"0", "1", "2", "3", "4", "130", "143"}) {
        EXPECT_NE(help.find("\n  " + std::string(status) + " "), std::string::npos) << status;
        EXPECT_NE(readme.find("| " + std::string(status) + " |"), std::string::npos) << status;
        EXPECT_NE(man.find(".B " + std::string(status) + "\n"), std::string::npos) << status;
    }
}

// Several simulated devices, each with its own flash and fault rules: a rule prefixed with a
// serial number hits only that device, so a run succeeds only when the right one was chosen.
TEST_F(Tool, ChoosesTheDeviceBySerialOrPath) {
    const std::vector<std::string> faulty_others = {"--sim-devices", "3",
                                                    "--sim-fault",   "SIM0001/drop:page:1",
                                                    "--sim-fault",   "SIM0003/drop:page:1"};
    for (const std::vector<std::string> &choice :
         {std::vector<std::string>{"--serial", "SIM0002"}, {"--path", "sim:2"}}) {
        std::vector<std::string> args = faulty_others;
        args.insert(args.end(), choice.begin(), choice.end());
        const ProcessResult r = simulate(args);
        EXPECT_EQ(r.exit_status, 0) << choice[0] << r.err;
        EXPECT_EQ(r.err.find("warning"), std::string::npos) << choice[0] << r.err;
    }
    EXPECT_EQ(simulate(faulty_others).exit_status, 1);
}

TEST_F(Tool, SeveralMatchesUpdateTheFirstAndNameTheOthers) {
    const ProcessResult plain = simulate({});
    const ProcessResult r = simulate({"--sim-devices", "3"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, plain.out);
    EXPECT_NE(r.err.find("updating the first, sim:1 (serial SIM0001)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not updated: sim:2 (serial SIM0002)"), std::string::npos);
    EXPECT_NE(r.err.find("not updated: sim:3 (serial SIM0003)"), std::string::npos);
    EXPECT_NE(r.err.find("--serial or --path"), std::string::npos);
}

TEST_F(Tool, ANamedDeviceThatIsAbsentIsReportedWithWhatWasFound) {
    const ProcessResult r = simulate({"--sim-devices", "2", "--serial", "SIM0009"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out.substr(r.out.size() - 18), "handle get failed\n");
    EXPECT_NE(r.err.find("serial number 'SIM0009'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("found instead: sim:1 (serial SIM0001), sim:2 (serial SIM0002)"),
              std::string::npos)
        << r.err;
}

TEST_F(Tool, ListPrintsOneLinePerMatchingDevice) {
    const ProcessResult r = run_process(kTool, {"--simulate", "--sim-devices", "2", "--list"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out,
              "sim:1\t9999:8888\tSIM0001\thidiap\tSimulated IAP device\t0\n"
              "sim:2\t9999:8888\tSIM0002\thidiap\tSimulated IAP device\t0\n");
    const ProcessResult none = run_process(kTool, {"--simulate", "--list", "--vid", "1234"});
    EXPECT_EQ(none.exit_status, 3);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(run_process(kTool, {"--simulate", "--list", "--vid", "0", "--pid", "0"}).out,
              "sim:1\t9999:8888\tSIM0001\thidiap\tSimulated IAP device\t0\n");
}

// Devices that appear late, or whose node is not yet the user's, are waited for with --wait; a
// device that stays unopenable is a permission problem (4) with the way to fix it.
TEST_F(Tool, WaitsForALateDeviceAndTellsAPermissionProblemFromNoDevice) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *err;
    };
    const Case cases[] = {
        {{"--sim-appear-after", "800", "--sim-open-after", "300", "--wait", "10"},
         0,
         "waiting up to 10 s"},
        {{"--sim-appear-after", "60000", "--wait", "0.5"}, 3, "found none"},
        {{"--sim-open-after", "60000"}, 4, "Permission denied"},
        {{"--sim-open-after", "60000", "--wait", "0.5"}, 4, "udevadm control --reload-rules"},
        {{"--sim-appear-after", "60000"}, 3, "found none"},
    };
    for (const Case &c : cases) {
        const auto begin = std::chrono::steady_clock::now();
        const ProcessResult r = simulate(c.args);
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(r.exit_status, c.status) << c.args[1] << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[1] << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.out.substr(r.out.size() - 18), "handle get failed\n") << c.args[1];
        }
        if (c.status == 0) {
            EXPECT_GE(took, std::chrono::milliseconds(1100));
        }
        EXPECT_LT(took, std::chrono::seconds(5)) << c.args[1];
    }
}
