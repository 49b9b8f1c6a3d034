// --skip-unchanged and --skip-blank as a user runs them: against a simulated device whose flash one
// earlier update left behind, also where the ranges overlap.
#include <algorithm>

#include "tool_fixture.h"

namespace {

class SkipUnchangedTool : public Tool {
  protected:
    ProcessResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), "--simulate");
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        return run_process(kTool, args);
    }
};

}  // namespace

TEST_F(SkipUnchangedTool, ProgramsOnlyTheChangedSectorAndLeavesTheSameFlash) {
    ASSERT_EQ(run({"--sim-flash", path("full.bin")}).exit_status, 0);
    std::vector<uint8_t> older = read_file("full.bin");
    older[0x9010] ^= 0xFF;  // the image's second sector
    write_file("older.bin", older);
    const ProcessResult r = run({"--skip-unchanged", "--sim-flash-from", path("older.bin"),
                                 "--sim-flash", path("skipped.bin")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("[IAP]: 1 of 2 sectors unchanged from 0x00008000, skipped\r\n"
                         "[IAP]: Erase @ 0x00009000\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Erase @ 0x00008000"), std::string::npos);
    // Only the changed sector's 3,328 bytes of the image were programmed.
    EXPECT_NE(r.err.find("hidiap: update succeeded: 3328 of 8448 bytes programmed in "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(", every range verified (5120 bytes already current)\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("[IAP]: 1 of 1 sectors unchanged from 0x00080000, skipped\r\n"),
              std::string::npos);
    EXPECT_TRUE(read_file("skipped.bin") == read_file("full.bin"));
}

// Overlapping ranges: the TTS data's sectors replace the image's bytes 0x80000-0x81000, which
// nothing writes again. A device updated once is then what --verify and --skip-unchanged compare
// with: found current, nothing erased, and both lines name the replaced bytes.
TEST_F(SkipUnchangedTool, OverlappingRangesAreComparedWithTheFlashAnUpdateLeaves) {
    write_file("img.bin", test_support::random_bytes(0x80000 + 0x1234, 53));
    const ProcessResult full = run({"--sim-flash", path("full.bin")});
    ASSERT_EQ(full.exit_status, 0) << full.err;
    const std::string replaced =
        "the TTS data's sectors replaced the image's bytes 0x080000-0x081000 (0x080400-0x081000 "
        "left erased)\n";
    EXPECT_NE(full.err.find(", every range verified; " + replaced), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("its sectors replace the image's bytes 0x080000-0x081000"),
              std::string::npos)
        << full.err;

    const ProcessResult verify = run({"--verify", "--sim-flash-from", path("full.bin")});
    EXPECT_EQ(verify.exit_status, 0) << verify.err;
    EXPECT_NE(verify.err.find("verify succeeded: the device already holds both files, as an "
                              "update leaves them: " +
                              replaced),
              std::string::npos)
        << verify.err;

    const ProcessResult skipped = run({"--skip-unchanged", "--sim-flash-from", path("full.bin"),
                                       "--sim-flash", path("skipped.bin")});
    EXPECT_EQ(skipped.exit_status, 0) << skipped.err;
    EXPECT_EQ(skipped.out.find("Erase @"), std::string::npos) << skipped.out;
    EXPECT_TRUE(read_file("skipped.bin") == read_file("full.bin"));

    // A device that differs where the TTS data's sectors lie ends as after a full update.
    std::vector<uint8_t> older = read_file("full.bin");
    older[0x80800] ^= 0xFF;
    write_file("older.bin", older);
    const ProcessResult mended = run({"--skip-unchanged", "--sim-flash-from", path("older.bin"),
                                      "--sim-flash", path("mended.bin")});
    EXPECT_EQ(mended.exit_status, 0) << mended.err;
    EXPECT_NE(mended.out.find("Erase @ 0x00080000"), std::string::npos) << mended.out;
    EXPECT_TRUE(read_file("mended.bin") == read_file("full.bin"));
}

TEST_F(SkipUnchangedTool, JsonCarriesWhatEachSurveyFound) {
    ASSERT_EQ(run({"--sim-flash", path("full.bin")}).exit_status, 0);
    const ProcessResult r =
        run({"--json", "--skip-unchanged", "--sim-flash-from", path("full.bin")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find(R"("type":"survey")"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(R"("range":1,"addr":32768,"sectors":2,"unchanged":2,"skipped":2})"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(R"("range":2,"addr":524288,"sectors":1,"unchanged":1,"skipped":1})"),
              std::string::npos)
        << r.out;
}

// --skip-blank: the same protocol lines and flash as a full update, fewer pages; a device whose
// erase does not erase fails the check.
TEST_F(SkipUnchangedTool, SkipBlankPrintsTheSameLinesAndLeavesTheSameFlash) {
    std::vector<uint8_t> image = test_support::random_bytes(40000, 51);
    std::fill(image.begin() + 0x8300, image.begin() + 0x8F00, 0xFF);  // 12 pages
    write_file("img.bin", image);
    const ProcessResult full = run({"--sim-flash", path("full.bin")});
    ASSERT_EQ(full.exit_status, 0) << full.err;
    const ProcessResult blank = run({"--skip-blank", "--sim-flash", path("blank.bin")});
    EXPECT_EQ(blank.exit_status, 0) << blank.err;
    EXPECT_EQ(blank.out, full.out);
    EXPECT_TRUE(read_file("blank.bin") == read_file("full.bin"));
    write_file("other.bin", test_support::random_bytes(0x200000, 54));
    const ProcessResult worn = run(
        {"--skip-blank", "--sim-fault", "no-erase:erase:1", "--sim-flash-from", path("other.bin")});
    EXPECT_EQ(worn.exit_status, 1);
    EXPECT_NE(worn.err.find("the CRC of the image range 0x008000-0x009d00 did not match"),
              std::string::npos)
        << worn.err;
}

TEST_F(SkipUnchangedTool, DryRunCountsTheBlankPagesAndGivesBothTimes) {
    std::vector<uint8_t> image = test_support::random_bytes(40000, 51);
    std::fill(image.begin() + 0x8300, image.begin() + 0x8F00, 0xFF);
    write_file("img.bin", image);
    const ProcessResult json = run({"--dry-run", "--json", "--skip-blank"});
    EXPECT_EQ(json.exit_status, 0) << json.err;
    EXPECT_NE(
        json.out.find(
            R"("reports":173,"expected_seconds":0.308,"send_less":{"blank_pages":12,"blank_sectors":0,"pages":21,"erases":3,"surveys":0,"reports":113,"expected_seconds":0.248,"assumes":"any device"})"),
        std::string::npos)
        << json.out;
    const ProcessResult text = run({"--dry-run", "--skip-unchanged"});
    EXPECT_NE(text.out.find("--skip-unchanged sends 21 pages, 112 output reports, 0 erases"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("(on an erased device; more where the flash differs)"),
              std::string::npos);
    EXPECT_EQ(run({"--dry-run"}).out.find("blank"), std::string::npos) << "only with the options";
}
