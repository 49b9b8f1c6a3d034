// package show: what a package holds and whether a run here would take it, in the words a run
// would refuse it with; and what a dry run and package make leave alone.
#include <nlohmann/json.hpp>

#include "formats/firmware_package.h"
#include "tool_fixture.h"
#include "zip_members.h"

namespace {

class PackageShow : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        for (const char *name : {"vendor", "other"}) {
            ASSERT_EQ(run_process(kTool, {"key", "make", "--unencrypted", path(name)}).exit_status,
                      0);
        }
        const ProcessResult made =
            run_process(kTool, {"package", "make", "--fw-version", "2.0\x1b[2J", "--product",
                                "Simulated IAP device", "--sign", path("vendor.key"),
                                path("fw.zip"), path("img.bin"), path("tts.bin"), "1MB"});
        ASSERT_EQ(made.exit_status, 0) << made.err;
    }
    ProcessResult show(std::vector<std::string> args) const {
        args.insert(args.begin(), {"package", "show"});
        return run_process(kTool, args);
    }
};

}  // namespace

TEST_F(PackageShow, ASignedPackageRunsWhereItsKeyIsTrustedAndNowhereElse) {
    const ProcessResult trusted = show({"--trust", path("vendor.pub"), path("fw.zip")});
    EXPECT_EQ(trusted.exit_status, 0) << trusted.err;
    for (const std::string &line : std::vector<std::string>{
             std::string("manifest:         package.json, format 1\n"),
             "image:            img.bin, raw, 40000 bytes (40000 of data)\n",
             "TTS:              tts.bin, raw, 1000 bytes (1000 of data)\n",
             "token:            1MB (TTS data at 0x080000)\n",
             "product:          Simulated IAP device\n",
             "trusted key:      yes: verified with '" + path("vendor.pub") + "'\n",
             "runs here:        yes\n"}) {
        EXPECT_NE(trusted.out.find(line), std::string::npos) << line << trusted.out;
    }
    EXPECT_NE(trusted.out.find("(checked)\nTTS:"), std::string::npos) << trusted.out;
    // The version's escape sequence is shown, not obeyed.
    EXPECT_EQ(trusted.out.find('\x1b'), std::string::npos);
    EXPECT_NE(trusted.out.find("firmware version: 2.0\\x1B[2J\n"), std::string::npos);

    const ProcessResult none = show({path("fw.zip")});
    EXPECT_EQ(none.exit_status, 0) << none.err;
    EXPECT_NE(none.out.find("trusted key:      none is trusted here"), std::string::npos);

    const ProcessResult other = show({"--trust", path("other.pub"), path("fw.zip")});
    EXPECT_EQ(other.exit_status, 2);
    EXPECT_NE(other.out.find("runs here:        no: unknown key ID "), std::string::npos)
        << other.out;
    EXPECT_NE(other.err.find("refused: unknown key ID"), std::string::npos) << other.err;
    // What the run itself says.
    const ProcessResult run = run_process(
        kTool, {"update", "--simulate", "--no-wait", "--trust", path("other.pub"), path("fw.zip")});
    EXPECT_EQ(run.exit_status, 2);
}

TEST_F(PackageShow, AChangedMemberIsNamedWithBothDigestsAndTheJsonSaysTheSame) {
    const std::vector<uint8_t> zip = read_file("fw.zip");
    const base::Result<formats::SignedManifest> stored =
        formats::read_signed_manifest(zip.data(), zip.size());
    const base::Result<formats::Package> p = formats::read_package(zip.data(), zip.size(), 1 << 22);
    ASSERT_TRUE(stored.ok() && p.ok());
    std::vector<uint8_t> changed = image;
    changed[0x9000] ^= 1;
    write_file("changed.zip",
               test_support::zip_of(
                   {{formats::kManifestName, stored->text},
                    {"img.bin", changed},
                    {"tts.bin", tts},
                    {formats::kSignatureName, test_support::bytes_of(stored->signature_text)}},
                   path("scratch.zip")));
    const ProcessResult r = show({"--trust", path("vendor.pub"), path("changed.zip")});
    EXPECT_EQ(r.exit_status, 2);
    // The signature is still the vendor's; the member is not what it signed.
    EXPECT_NE(r.out.find("trusted key:      yes: verified with"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("runs here:        no: changed member: member 'img.bin' has SHA-256 "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("but the manifest gives " + p->manifest.image_sha256), std::string::npos)
        << r.out;

    const ProcessResult json = show({"--json", "--trust", path("vendor.pub"), path("changed.zip")});
    EXPECT_EQ(json.exit_status, 2);
    const nlohmann::json event = nlohmann::json::parse(json.out);
    EXPECT_EQ(event["type"], "package");
    EXPECT_EQ(event["runs_here"], false);
    EXPECT_TRUE(event["members"].empty());
    EXPECT_EQ(event["signature"]["status"], "verified");
    EXPECT_EQ(event["keys_trusted"], 1);
    EXPECT_EQ(std::string(event["reason"]).rfind("changed member: ", 0), 0u);
    // A sound one: each member with the digest the manifest gives.
    const nlohmann::json sound =
        nlohmann::json::parse(show({"--json", "--trust", path("vendor.pub"), path("fw.zip")}).out);
    EXPECT_EQ(sound["runs_here"], true);
    EXPECT_EQ(sound["members"][0]["sha256"], p->manifest.image_sha256);
    EXPECT_EQ(sound["members"][1]["format"], "raw");
    EXPECT_EQ(sound["product"], "Simulated IAP device");
}

TEST_F(PackageShow, AMemberTheRunCouldNotLoadMakesItRefused) {
    write_file("small.bin", std::vector<uint8_t>(100, 0x5A));
    ASSERT_EQ(run_process(kTool, {"package", "make", path("small.zip"), path("small.bin"),
                                  path("tts.bin"), "1MB"})
                  .exit_status,
              2);
    // A zip tool does not check: the package is sound, its image too small to run.
    formats::Manifest m;
    m.image_name = "small.bin";
    m.tts_name = "tts.bin";
    m.token = "1MB";
    const base::Result<std::vector<uint8_t>> archive =
        formats::write_package(m, std::vector<uint8_t>(100, 0x5A), tts);
    ASSERT_TRUE(archive.ok());
    write_file("small.zip", *archive);
    const ProcessResult r = show({path("small.zip")});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.out.find("runs here:        no: a member is unusable"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("must be larger than 32768 bytes"), std::string::npos) << r.err;
}

// A dry run keeps no record, and shows the plan of what was asked: verify's for verify.
TEST_F(Tool, ADryRunLeavesTheRecordAloneAndAVerifysPlanIsAVerifys) {
    for (const char *record : {"boards.jsonl", "boards.sqlite"}) {
        const ProcessResult r = run_process(kTool, {"--dry-run", "--record", path(record),
                                                    path("img.bin"), path("tts.bin"), "1MB"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_FALSE(fs::exists(path(record))) << record;
    }
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--verify", "--dry-run"},
                                                 {"verify", "--dry-run"},
                                                 {"station", "--verify", "--dry-run"}}) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        const ProcessResult r = run_process(kTool, all);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("Verify plan (dry run: no device was opened)\n"
                             "  image 40000 bytes, rounded to 40192; compares 7424 bytes at flash "
                             "0x008000-0x009d00 by CRC-32\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("sectors to erase"), std::string::npos) << r.out;
    }
    const ProcessResult json = run_process(
        kTool, {"verify", "--dry-run", "--json", path("img.bin"), path("tts.bin"), "1MB"});
    const nlohmann::json plan = nlohmann::json::parse(json.out);
    EXPECT_EQ(plan["type"], "plan");
    EXPECT_EQ(plan["verify"]["reports"], 2);
    // An update's dry run is as it was.
    const ProcessResult update =
        run_process(kTool, {"--dry-run", path("img.bin"), path("tts.bin"), "1MB"});
    EXPECT_NE(update.out.find("Update plan (dry run"), std::string::npos);
}

// A package is never written over a file it is made of, however the path names it.
TEST_F(Tool, APackageIsNotWrittenOverItsOwnInput) {
    fs::create_symlink(path("img.bin"), path("link.bin"));
    fs::create_hard_link(path("tts.bin"), path("hard.bin"));
    for (const std::string &out :
         {path("img.bin"), path("link.bin"), path("hard.bin"), (dir / "." / "img.bin").string()}) {
        const ProcessResult r =
            run_process(kTool, {"--make-package", out, path("img.bin"), path("tts.bin"), "1MB"});
        EXPECT_EQ(r.exit_status, 2) << out;
        EXPECT_NE(r.err.find("is the "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("it is made from; no package was written"), std::string::npos);
    }
    EXPECT_TRUE(read_file("img.bin") == image);
    EXPECT_TRUE(read_file("tts.bin") == tts);
}
