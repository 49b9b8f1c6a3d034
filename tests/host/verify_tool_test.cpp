// --verify as a user runs it against a device that sends an answer twice: a check is vouched for
// only by the answer to it.
#include "tool_fixture.h"

namespace {

class VerifyTool : public Tool {};

}  // namespace

// The image range and the TTS file hold the same bytes, so both ranges have one checksum; the
// device's TTS range holds other data. The image range's answer, sent twice, must not be taken
// for the TTS range's.
TEST_F(VerifyTool, ADuplicatedAnswerDoesNotVouchForTheNextRange) {
    const std::vector<uint8_t> same = test_support::random_bytes(4096, 31);
    std::vector<uint8_t> img = test_support::random_bytes(0x8000, 32);
    img.insert(img.end(), same.begin(), same.end());
    write_file("img.bin", img);
    write_file("tts.bin", test_support::random_bytes(4096, 33));
    ASSERT_EQ(simulate({"--no-wait"}).exit_status, 0);  // the flash: the image, other TTS data
    write_file("tts.bin", same);
    const ProcessResult r = run_process(
        kTool, {"--simulate", "--no-wait", "--sim-flash-from", path("flash.bin"), "--sim-fault",
                "dup:check:1", "--verify", path("img.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("[IAP]: verify done, flash differs\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("the TTS range 0x080000-0x081000 differs"), std::string::npos) << r.err;
}
