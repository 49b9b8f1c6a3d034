// The tool given Intel HEX, S-record and ELF files and firmware packages: the same lines and the
// same flash as for the equivalent raw files, and refusals before any device is looked for.
#include <sys/stat.h>

#include <cstdlib>

#include "formats/firmware_package.h"
#include "formats/sha256.h"
#include "tool_fixture.h"
#include "zip_members.h"

namespace {

class FormatsTool : public Tool {
  protected:
    void sh(const std::string &command) const {
        ASSERT_EQ(std::system(("cd '" + dir.string() + "' && " + command).c_str()), 0) << command;
    }
    ProcessResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--simulate", "--no-wait", "--sim-flash", path("flash.bin")});
        return run_process(kTool, args);
    }
    std::vector<uint8_t> flash() {
        std::vector<uint8_t> f = read_file("flash.bin");
        fs::remove(path("flash.bin"));
        return f;
    }
};

}  // namespace

TEST_F(FormatsTool, HexSrecAndElfImagesGiveTheLinesAndFlashOfTheRawImage) {
    const ProcessResult raw = run({path("img.bin"), path("tts.bin"), "1MB"});
    ASSERT_EQ(raw.exit_status, 0) << raw.err;
    const std::vector<uint8_t> raw_flash = flash();
    // The ELF file carries only what is programmed: the image from 0x8000 on, linked there.
    write_file("tail.bin", std::vector<uint8_t>(image.begin() + 0x8000, image.end()));
    std::ofstream(path("link.ld")) << "SECTIONS { .app 0x8000 : { tail.o(.data) } }\n";
    sh("objcopy -I binary -O ihex img.bin img.hex && objcopy -I binary -O srec img.bin img.srec"
       " && objcopy -I binary -O ihex --change-addresses 0x80000 tts.bin tts.hex"
       " && ld -r -b binary tail.bin -o tail.o && ld -T link.ld tail.o -o img.elf");
    for (const auto &[img, tts] : {std::pair<const char *, const char *>{"img.hex", "tts.bin"},
                                   {"img.srec", "tts.hex"},
                                   {"img.elf", "tts.bin"}}) {
        const ProcessResult r = run({path(img), path(tts), "1MB"});
        EXPECT_EQ(r.exit_status, 0) << img << r.err;
        EXPECT_EQ(r.out, raw.out) << img;
        EXPECT_TRUE(flash() == raw_flash) << img;
        // The image's first 32 KiB are read but, as always, not programmed: said for a HEX file.
        EXPECT_EQ(r.err.find("0x000000-0x008000, below 0x8000") != std::string::npos,
                  std::string(img) != "img.elf")
            << img << r.err;
    }
}

TEST_F(FormatsTool, TtsHexAddressesAreFlashAddressesOrOffsetsAndNothingPastItsSize) {
    const std::vector<uint8_t> expected = test_support::expected_flash(image, tts, 0x180000);
    sh("objcopy -I binary -O srec --change-addresses 0x180000 tts.bin at_flash.srec"
       " && objcopy -I binary -O ihex tts.bin at_zero.hex"
       " && objcopy -I binary -O ihex --change-addresses 0x40000 tts.bin too_far.hex");
    for (const char *tts_file : {"at_flash.srec", "at_zero.hex"}) {
        const ProcessResult r = run({path("img.bin"), path(tts_file), "2MB"});
        EXPECT_EQ(r.exit_status, 0) << tts_file << r.err;
        EXPECT_NE(r.out.find("TTS file size is 1000\r\n"), std::string::npos) << tts_file;
        EXPECT_TRUE(flash() == expected) << tts_file;
    }
    const ProcessResult r = run({path("img.bin"), path("too_far.hex"), "2MB"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("TTS file '" + path("too_far.hex") +
                         "' (Intel HEX): line 2: data at 0x040000-0x040010 lies outside "
                         "0x000000-0x040000"),
              std::string::npos)
        << r.err;
}

TEST_F(FormatsTool, AFileThatOnlyLooksLikeHexIsRefusedAndReadAsRawWhenForced) {
    std::vector<uint8_t> fake = image;
    const std::string line = ":00000001FF\n";
    std::copy(line.begin(), line.end(), fake.begin());
    write_file("fake.bin", fake);
    const ProcessResult refused = run({path("fake.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_EQ(refused.out, kUsage);  // nothing past the usage line: no device was looked for
    EXPECT_NE(refused.err.find("(Intel HEX): line 2: "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("if it is raw data, --format raw takes it as such"),
              std::string::npos);
    const ProcessResult raw = run({"--format", "raw", path("fake.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(raw.exit_status, 0) << raw.err;
    EXPECT_TRUE(flash() == test_support::expected_flash(fake, tts, 0x80000));
}

// An editor's byte-order mark or a blank first line made a HEX file raw data: its text went to
// the flash at 0x8000.
TEST_F(FormatsTool, AHexImageThatBeginsWithAByteOrderMarkOrBlankLinesIsReadAsHex) {
    const ProcessResult raw = run({path("img.bin"), path("tts.bin"), "1MB"});
    ASSERT_EQ(raw.exit_status, 0) << raw.err;
    const std::vector<uint8_t> raw_flash = flash();
    sh("objcopy -I binary -O ihex img.bin img.hex");
    std::vector<uint8_t> hex = test_support::bytes_of("\xEF\xBB\xBF\r\n  \r\n");
    const std::vector<uint8_t> records = read_file("img.hex");
    hex.insert(hex.end(), records.begin(), records.end());
    write_file("img.hex", hex);
    const ProcessResult r = run({path("img.hex"), path("tts.bin"), "1MB"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, raw.out);
    EXPECT_TRUE(flash() == raw_flash);
}

// A FIFO waited in open() for a writer that never came; /dev/zero was read as an empty file.
TEST_F(FormatsTool, AFifoOrADeviceIsRefusedAtOnceAsIsAFifoOfTrustedKeys) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ProcessOptions quick;
    quick.limit = std::chrono::milliseconds(10000);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{path("fifo"), path("tts.bin"), "1MB"},
         "hidiap: image file '" + path("fifo") + "' is a FIFO, not a regular file\n"},
        {{path("img.bin"), "/dev/zero", "1MB"},
         "hidiap: TTS file '/dev/zero' is a device, not a regular file\n"},
        {{"--trust", path("fifo"), path("img.bin"), path("tts.bin"), "1MB"},
         "hidiap: the trusted key '" + path("fifo") +
             "' is unusable: it is a FIFO, not a regular file; nothing was sent\n"},
        {{"--format", "ihex", path("fifo"), path("tts.bin"), "1MB"},
         "hidiap: image file '" + path("fifo") + "': it is a FIFO, not a regular file"}};
    for (const auto &[args, err] : cases) {
        std::vector<std::string> full = {"--simulate", "--no-wait"};
        full.insert(full.end(), args.begin(), args.end());
        const ProcessResult r = run_process(kTool, full, quick);
        EXPECT_FALSE(r.timed_out) << err;
        EXPECT_EQ(r.exit_status, 2) << err;
        EXPECT_EQ(r.out, kUsage) << err;
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
    }
}

// Whatever a package's manifest holds is shown, never obeyed: terminal escapes and control
// characters in its token and names come out as \xNN.
TEST_F(FormatsTool, ADryRunShowsAManifestsControlCharactersEscaped) {
    formats::Manifest m;
    m.image_name = "img\x1b]0;owned\x07.bin";
    m.tts_name = "tts.bin";
    m.token = "1MB\x1b[2J";
    m.image_sha256 = formats::sha256_hex(image.data(), image.size());
    m.tts_sha256 = formats::sha256_hex(tts.data(), tts.size());
    write_file("odd.zip", test_support::zip_of(
                              {{"package.json", test_support::bytes_of(formats::manifest_json(m))},
                               {m.image_name, image},
                               {"tts.bin", tts}},
                              path("scratch.zip")));
    const ProcessResult r = run_process(kTool, {"--dry-run", path("odd.zip")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("  token '1MB\\x1B[2J': TTS data at 0x080000"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  image '" + path("odd.zip") + ":img\\x1B]0;owned\\x07.bin' (raw"),
              std::string::npos)
        << r.out;
}

TEST_F(FormatsTool, APackageRunsAsItsThreeArgumentsDoAndItsDryRunShowsTheChecksums) {
    const ProcessResult direct = run({path("img.bin"), path("tts.bin"), "1MB"});
    const std::vector<uint8_t> direct_flash = flash();
    const ProcessResult made = run_process(kTool, {"--make-package", path("fw.zip"), "--fw-version",
                                                   "3.1", path("img.bin"), path("tts.bin"), "1MB"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const ProcessResult r = run({path("fw.zip")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, direct.out);
    EXPECT_TRUE(flash() == direct_flash);

    const ProcessResult dry = run_process(kTool, {"--dry-run", path("fw.zip")});
    const std::vector<uint8_t> zip = read_file("fw.zip");
    for (const std::string &digest : {formats::sha256_hex(zip.data(), zip.size()),
                                      formats::sha256_hex(image.data(), image.size()),
                                      formats::sha256_hex(tts.data(), tts.size())}) {
        EXPECT_NE(dry.out.find(digest), std::string::npos) << dry.out;
    }
    const ProcessResult json = run({"--json", path("fw.zip")});
    const std::string outcome = json.out.substr(json.out.rfind("{\"type\":\"outcome\""));
    EXPECT_NE(outcome.find("\"firmware_version\":\"3.1\""), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(formats::sha256_hex(zip.data(), zip.size())), std::string::npos);
}

TEST_F(FormatsTool, ChangedOrUnsafePackagesAreRefusedBeforeAnyDeviceIsLookedFor) {
    formats::Manifest m;
    m.image_name = "img.bin";
    m.tts_name = "tts.bin";
    m.token = "1MB";
    m.image_sha256 = formats::sha256_hex(image.data(), image.size());
    m.tts_sha256 = formats::sha256_hex(tts.data(), tts.size());
    std::vector<uint8_t> changed = image;
    changed[40000 - 1] ^= 1;
    write_file(
        "changed.zip",
        test_support::zip_of({{"package.json", test_support::bytes_of(formats::manifest_json(m))},
                              {"img.bin", changed},
                              {"tts.bin", tts}},
                             path("scratch.zip")));
    formats::Manifest escaping = m;
    escaping.tts_name = "../tts.bin";
    write_file("escaping.zip",
               test_support::zip_of(
                   {{"package.json", test_support::bytes_of(formats::manifest_json(escaping))},
                    {"img.bin", image},
                    {"../tts.bin", tts}},
                   path("scratch.zip")));
    const std::pair<const char *, std::string> cases[] = {
        {"changed.zip", "member 'img.bin' has SHA-256 " +
                            formats::sha256_hex(changed.data(), changed.size()) +
                            " but the manifest gives " + m.image_sha256},
        {"escaping.zip", "package.json: the name '../tts.bin' holds '..'"}};
    for (const auto &[zip, why] : cases) {
        // Without --simulate: a look for a device would end in "handle get failed".
        const ProcessResult r = run_process(kTool, {"--no-wait", path(zip)});
        EXPECT_EQ(r.exit_status, 2) << zip;
        EXPECT_EQ(r.out, kUsage) << zip;
        EXPECT_NE(r.err.find("hidiap: package '" + path(zip) + "' refused: " + why),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(FormatsTool, APackageForAnotherProductLeavesTheDeviceAlone) {
    ASSERT_EQ(run_process(kTool, {"--make-package", path("other.zip"), "--product", "Other board",
                                  path("img.bin"), path("tts.bin"), "1MB"})
                  .exit_status,
              0);
    const ProcessResult r = run({path("other.zip")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out.find("[IAP]"), std::string::npos) << r.out;  // not one frame was sent
    EXPECT_NE(r.err.find("the package is for the product 'Other board', the device says it is "
                         "'Simulated IAP device'"),
              std::string::npos)
        << r.err;
    // Beside other devices, each has its outcome line and its row in the summary.
    const ProcessResult two = run({"--sim-devices", "2", "--all", path("other.zip")});
    EXPECT_EQ(two.exit_status, 1);
    EXPECT_NE(two.err.find("hidiap: [SIM0002] update failed (wrong product)"), std::string::npos)
        << two.err;
    EXPECT_NE(two.err.find("hidiap: 2 of 2 devices failed: SIM0001, SIM0002"), std::string::npos)
        << two.err;
}

TEST_F(FormatsTool, APackagesIdsChooseTheDeviceUnlessVidAndPidAreGiven) {
    ASSERT_EQ(run_process(kTool, {"--make-package", path("ids.zip"), "--vid", "1234", "--pid",
                                  "5678", path("img.bin"), path("tts.bin"), "1MB"})
                  .exit_status,
              0);
    const ProcessResult by_package = run({path("ids.zip")});
    EXPECT_EQ(by_package.exit_status, 3);
    EXPECT_NE(by_package.err.find("vendor ID 0x1234 and product ID 0x5678"), std::string::npos)
        << by_package.err;
    EXPECT_EQ(run({"--vid", "9999", "--pid", "8888", path("ids.zip")}).exit_status, 0);
}
