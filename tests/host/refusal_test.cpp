// Every input the tool refuses: the message, exit status 2, and nothing sent to the device (no
// product line, no engine line, and the simulated flash never written out).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "process_runner.h"

namespace fs = std::filesystem;
using test_support::ProcessResult;
using test_support::run_process;

namespace {

const std::string kTool = HIDIAP_TOOL_PATH;
const std::string kUsage = "Usage: Drage DFU image file to this exceute file !\r\n";

struct Refusal {
    const char *name;
    // Arguments after --simulate --sim-flash FLASH; "IMG", "TTS" and "DIR" stand for paths.
    std::vector<std::string> args;
    const char *out;  // exact standard output
    const char *err;  // text standard error must contain ("" for anything)
};

class Refusals : public ::testing::TestWithParam<Refusal> {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("hidiap_refusal_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "adir");
        write("ok_img", 40000);
        write("ok_tts", 1000);
        write("empty", 0);
        write("huge_img", 2080769);
        write("max_img", 2080768);
        write("huge_tts", 262145);
        write("small_img", 0x8000);
        write("tiny_img", 100);
        fs::create_symlink(dir / "loop", dir / "loop");
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const std::string &name, size_t size) {
        std::ofstream(dir / name, std::ios::binary) << std::string(size, '\x5A');
    }
    // Replaces every @name in text with the path of that file in the test's directory.
    std::string expand(std::string text) const {
        for (size_t at; (at = text.find('@')) != std::string::npos;) {
            const size_t end = std::min(text.find_first_of("!' ", at), text.size());
            text.replace(at, end - at, (dir / text.substr(at + 1, end - at - 1)).string());
        }
        return text;
    }
    fs::path dir;
};

TEST_P(Refusals, RefusedBeforeTheDevice) {
    const Refusal &c = GetParam();
    std::vector<std::string> args = {"--simulate", "--sim-flash", (dir / "flash.bin").string()};
    for (const std::string &a : c.args) {
        args.push_back(expand(a));
    }
    const ProcessResult r = run_process(kTool, args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, kUsage + expand(c.out));
    EXPECT_NE(r.err.find(expand(c.err)), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Product String"), std::string::npos);
    EXPECT_EQ(r.out.find("[IAP]"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "flash.bin"));
}

const std::string kSizes = "OTA file size is 40000\r\nTTS file size is 1000\r\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, Refusals,
    ::testing::Values(
        Refusal{"OnlyOptions", {}, "", "IMAGE is required"},
        Refusal{"OneArgument", {"@ok_img"}, "", "TTS is required"},
        Refusal{"TwoArguments", {"@ok_img", "@ok_tts"}, "", "TOKEN is required"},
        Refusal{"MissingImage",
                {"@nothing", "@ok_tts", "1MB"},
                "Can't open image file @nothing!\r\nnot found image file\r\n",
                "cannot open image file '@nothing'"},
        Refusal{"MissingTts",
                {"@ok_img", "@nothing", "1MB"},
                "Can't open image file @nothing!\r\nnot found tts file\r\n",
                "cannot open TTS file '@nothing'"},
        Refusal{"BothMissing",
                {"@nothing", "@nothing", "1MB"},
                "Can't open image file @nothing!\r\nCan't open image file @nothing!\r\n"
                "not found image file\r\n",
                ""},
        Refusal{"EmptyImage",
                {"@empty", "@ok_tts", "1MB"},
                "not found image file\r\n",
                "image file '@empty' is empty"},
        Refusal{"EmptyTts",
                {"@ok_img", "@empty", "1MB"},
                "not found tts file\r\n",
                "TTS file '@empty' is empty"},
        Refusal{"ImageIsADirectory",
                {"@adir", "@ok_tts", "1MB"},
                "",
                "image file '@adir' is a directory"},
        Refusal{
            "TtsIsADirectory", {"@ok_img", "@adir", "1MB"}, "", "TTS file '@adir' is a directory"},
        Refusal{"UnreadableImage",
                {"@loop", "@ok_tts", "1MB"},
                "Can't open image file @loop!\r\nnot found image file\r\n",
                "cannot open image file '@loop': Too many levels of symbolic links"},
        Refusal{"ImageTooLarge",
                {"@huge_img", "@ok_tts", "1MB"},
                "",
                "image file '@huge_img' is 2080769 bytes, larger than the limit of 2080768 bytes"},
        Refusal{"TtsTooLarge",
                {"@max_img", "@huge_tts", "1MB"},
                "",
                "TTS file '@huge_tts' is 262145 bytes, larger than the limit of 262144 bytes"},
        Refusal{"ImageOnlyAsLongAsItsSkippedStart",
                {"@small_img", "@ok_tts", "1MB"},
                "OTA file size is 32768\r\nTTS file size is 1000\r\n",
                "image file '@small_img' is 32768 bytes; it must be larger than 32768 bytes"},
        Refusal{"TinyImage",
                {"@tiny_img", "@ok_tts", "2MB"},
                "OTA file size is 100\r\nTTS file size is 1000\r\n",
                "must be larger than 32768 bytes"},
        Refusal{"BadFaultRule",
                {"--sim-fault", "explode:page:1", "@ok_img", "@ok_tts", "1MB"},
                "",
                "--sim-fault"},
        Refusal{"MalformedVendorId",
                {"--vid", "0x99g9", "@ok_img", "@ok_tts", "1MB"},
                "",
                "--vid: '0x99g9' is not a hex ID"},
        Refusal{"ProductIdOutOfRange",
                {"--pid", "10000", "@ok_img", "@ok_tts", "1MB"},
                "",
                "--pid: '10000' is not a hex ID"},
        Refusal{"AllWithANamedDevice",
                {"--all", "--path", "sim:2", "@ok_img", "@ok_tts", "1MB"},
                "",
                "--all takes every matching device"},
        Refusal{"FaultRuleForAnAbsentSerial",
                {"--sim-fault", "SIM0002/drop:page:3", "@ok_img", "@ok_tts", "1MB"},
                "",
                "no simulated device has the serial number 'SIM0002'"},
        Refusal{"UnknownOption", {"--frobnicate", "@ok_img", "@ok_tts", "1MB"}, "", "frobnicate"}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });

}  // namespace

TEST(RefusalsWithoutSimulation, NoArgumentsAtAll) {
    const ProcessResult r = run_process(kTool, {});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("IMAGE is required"), std::string::npos);
}

TEST(RefusalsWithoutSimulation, SimulationOptionsNeedSimulate) {
    const ProcessResult r = run_process(kTool, {"--sim-flash", "/tmp/x", "a", "b", "1MB"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("need --simulate"), std::string::npos);
}

TEST(RefusalsWithoutSimulation, UnwritableSimulatedFlashFileBeforeTheUpdate) {
    const fs::path dir = fs::temp_directory_path() / ("hidiap_refusal_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "img", std::ios::binary) << std::string(40000, 'x');
    std::ofstream(dir / "tts", std::ios::binary) << std::string(1000, 'y');
    const ProcessResult r =
        run_process(kTool, {"--simulate", "--sim-flash", (dir / "no" / "flash.bin").string(),
                            (dir / "img").string(), (dir / "tts").string(), "1MB"});
    fs::remove_all(dir);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("--sim-flash: cannot write"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("[IAP]"), std::string::npos);
}
