// --skip-unchanged as a user runs it: against a simulated device whose flash one earlier update
// left behind, and refused for a layout whose ranges overlap.
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
    EXPECT_NE(r.out.find("[IAP]: 1 of 1 sectors unchanged from 0x00080000, skipped\r\n"),
              std::string::npos);
    EXPECT_TRUE(read_file("skipped.bin") == read_file("full.bin"));
}

TEST_F(SkipUnchangedTool, OverlappingRangesAreRefused) {
    write_file("img.bin", test_support::random_bytes(0x80000 + 0x1234, 53));
    const ProcessResult r = run({"--skip-unchanged"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("overlap"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("flash unlock"), std::string::npos) << "nothing is sent";
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
