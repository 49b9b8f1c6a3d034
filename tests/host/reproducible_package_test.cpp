// Packages that build the same twice: the same files give the same bytes whatever the folder,
// the umask and the files' times, signed or not; SOURCE_DATE_EPOCH dates the entries and keeps
// that.
#include "formats/firmware_package.h"
#include "tool_fixture.h"

namespace {

class ReproduciblePackage : public Tool {
  protected:
    // The package of the files copied into `folder`, dated `when`, made under `mask`.
    std::vector<uint8_t> build(const std::string &folder, const char *mask, fs::file_time_type when,
                               bool sign, const std::string &epoch) {
        fs::create_directories(dir / folder);
        for (const char *name : {"img.bin", "tts.bin"}) {
            fs::copy_file(path(name), dir / folder / name, fs::copy_options::overwrite_existing);
            fs::last_write_time(dir / folder / name, when);
        }
        const std::string out = (dir / folder / "fw.zip").string();
        std::string command = std::string("umask ") + mask + " && cd '" + (dir / folder).string() +
                              "' && exec '" + kTool + "' package make '" + out +
                              "' --fw-version 1.2.3 --security-counter 4";
        if (sign) {
            command += " --sign '" + path("vendor.key") + "'";
        }
        command += " img.bin tts.bin 1MB";
        ProcessOptions options;
        if (!epoch.empty()) {
            options.env.push_back("SOURCE_DATE_EPOCH=" + epoch);
        }
        const ProcessResult r = run_process("/bin/sh", {"-c", command}, options);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        std::ifstream in(out, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace

TEST_F(ReproduciblePackage, TheSameFilesGiveTheSameBytesInAnyFolderUmaskAndTimeAndDatedByTheEpoch) {
    ASSERT_EQ(run_process(kTool, {"key", "make", path("vendor"), "--unencrypted"}).exit_status, 0);
    const auto now = fs::file_time_type::clock::now();
    const auto then = now - std::chrono::hours(24 * 400);
    for (const bool sign : {false, true}) {
        SCOPED_TRACE(sign ? "signed" : "unsigned");
        const std::string tag = sign ? "s" : "u";
        for (const std::string epoch : {"", "1765324800"}) {
            const std::vector<uint8_t> a = build(tag + "a" + epoch, "022", now, sign, epoch);
            const std::vector<uint8_t> b = build(tag + "b" + epoch, "077", then, sign, epoch);
            ASSERT_FALSE(a.empty());
            EXPECT_TRUE(a == b) << epoch;
        }
        // The epoch is the entries' date: another package, as reproducible as the first.
        EXPECT_FALSE(build(tag + "c", "022", now, sign, "") ==
                     build(tag + "d", "022", now, sign, "1765324800"));
    }
    // An epoch that is no number of seconds writes nothing.
    ProcessOptions bad;
    bad.env.push_back("SOURCE_DATE_EPOCH=yesterday");
    const ProcessResult r = run_process(
        kTool, {"package", "make", path("bad.zip"), path("img.bin"), path("tts.bin"), "1MB"}, bad);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("SOURCE_DATE_EPOCH 'yesterday' is not a number of seconds"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(path("bad.zip")));
}
