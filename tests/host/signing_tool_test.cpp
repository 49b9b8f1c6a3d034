// Signed firmware packages in the tool: a vendor's package, signed by hidiap or by minisign
// itself, runs with the vendor's key trusted; with a key trusted, every other package and loose
// files are refused before any device is looked for, each saying why.
#include <cstdlib>

#include "formats/firmware_package.h"
#include "tool_fixture.h"
#include "zip_members.h"

namespace {

class SigningTool : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        for (const char *name : {"vendor", "other"}) {
            const ProcessResult made =
                run_process(kTool, {"--make-key", path(name), "--unencrypted"});
            ASSERT_EQ(made.exit_status, 0) << made.err;
        }
        const ProcessResult signed_ =
            run_process(kTool, {"--make-package", path("fw.zip"), "--fw-version", "2.0", "--sign",
                                path("vendor.key"), path("img.bin"), path("tts.bin"), "1MB"});
        ASSERT_EQ(signed_.exit_status, 0) << signed_.err;
        const std::vector<uint8_t> zip = read_file("fw.zip");
        const base::Result<formats::Package> read =
            formats::read_package(zip.data(), zip.size(), 1 << 20);
        ASSERT_TRUE(read.ok()) << read.message();
        package = *read;
        signature = package.stored.signature_text;
    }
    void sh(const std::string &command) const {
        ASSERT_EQ(
            std::system(("cd '" + dir.string() + "' && (" + command + ") >/dev/null 2>&1").c_str()),
            0)
            << command;
    }
    // A package of these members, as a zip tool would write it.
    void write_zip(const std::string &name, const std::string &manifest,
                   const std::vector<uint8_t> &image_member, const std::string &sig) const {
        std::vector<test_support::ZipMember> members = {
            {formats::kManifestName, test_support::bytes_of(manifest)},
            {"img.bin", image_member},
            {"tts.bin", tts}};
        if (!sig.empty())
            members.push_back({formats::kSignatureName, test_support::bytes_of(sig)});
        write_file(name, test_support::zip_of(members, path("scratch.zip")));
    }
    std::string manifest() const {
        return std::string(package.stored.text.begin(), package.stored.text.end());
    }
    ProcessResult trusted_run(const std::string &zip, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--simulate", "--no-wait", "--trust", path("vendor.pub")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path(zip));
        return run_process(kTool, args);
    }
    std::string key_id(const std::string &name) const {
        const std::vector<uint8_t> pub = read_file(name);
        const std::string text(pub.begin(), pub.end());
        const size_t at = text.find("public key ") + 11;
        return text.substr(at, text.find('\n') - at);
    }

    formats::Package package;
    std::string signature;
};

}  // namespace

TEST_F(SigningTool, AVendorsSignedPackageRunsWithItsKeyTrustedAndShowsWhoSignedIt) {
    const ProcessResult direct = simulate({"--no-wait"});
    const std::vector<uint8_t> direct_flash = read_file("flash.bin");
    const ProcessResult r = trusted_run(
        "fw.zip", {"--sim-flash", path("flash.bin"), "--record", path("records.jsonl")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    // The record says which firmware and whose signature the device got.
    const std::vector<uint8_t> kept = read_file("records.jsonl");
    const std::string record(kept.begin(), kept.end());
    EXPECT_NE(record.find("\"firmware_version\":\"2.0\",\"signature_key_id\":\"" +
                          key_id("vendor.pub") + "\",\"trusted_comment\":\"file:package.json"),
              std::string::npos)
        << record;
    EXPECT_EQ(r.out, direct.out);
    EXPECT_TRUE(read_file("flash.bin") == direct_flash);
    const std::string comment = "trusted comment: file:package.json\tfirmware_version:2.0";
    EXPECT_NE(
        r.err.find("signed by the key ID " + key_id("vendor.pub") +
                   ", verified with the trusted key '" + path("vendor.pub") + "'; " + comment),
        std::string::npos)
        << r.err;

    const ProcessResult dry = trusted_run("fw.zip", {"--dry-run"});
    EXPECT_NE(dry.out.find("  signature: verified, key ID " + key_id("vendor.pub")),
              std::string::npos)
        << dry.out;
    // With no key trusted it runs as any package, its signer named but not vouched for.
    const ProcessResult json = run_process(kTool, {"--json", "--dry-run", path("fw.zip")});
    EXPECT_EQ(json.exit_status, 0);
    EXPECT_NE(json.out.find("\"signature\":{\"status\":\"not checked\",\"key_id\":\"" +
                            key_id("vendor.pub") +
                            "\",\"trusted_comment\":\"file:package.json\\tfirmware_version:2.0\""),
              std::string::npos)
        << json.out;
}

TEST_F(SigningTool, APackageSignedByMinisignItselfIsAccepted) {
    std::ofstream(path("package.json"), std::ios::binary) << manifest();
    sh("minisign -G -W -p ms.pub -s ms.key && minisign -S -W -s ms.key -m package.json -t fw");
    const std::vector<uint8_t> sig = read_file("package.json.minisig");
    write_zip("ms.zip", manifest(), image, std::string(sig.begin(), sig.end()));
    const ProcessResult r =
        run_process(kTool, {"--simulate", "--no-wait", "--trust", path("ms.pub"), path("ms.zip")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(
        r.err.find("verified with the trusted key '" + path("ms.pub") + "'; trusted comment: fw"),
        std::string::npos)
        << r.err;
}

TEST_F(SigningTool, WithAKeyTrustedEveryOtherPackageIsRefusedBeforeAnyDeviceIsLookedFor) {
    ASSERT_EQ(run_process(kTool, {"--make-package", path("unsigned.zip"), path("img.bin"),
                                  path("tts.bin"), "1MB"})
                  .exit_status,
              0);
    ASSERT_EQ(run_process(kTool, {"--make-package", path("stranger.zip"), "--sign",
                                  path("other.key"), path("img.bin"), path("tts.bin"), "1MB"})
                  .exit_status,
              0);
    std::string other_token = manifest();
    other_token.replace(other_token.find("\"1MB\""), 5, "\"2MB\"");
    write_zip("manifest.zip", other_token, image, signature);
    std::vector<uint8_t> changed = image;
    changed[39999] ^= 1;
    write_zip("member.zip", manifest(), changed, signature);
    std::string comment = signature;
    comment.replace(comment.find("firmware_version:2.0"), 20, "firmware_version:9.0");
    write_zip("comment.zip", manifest(), image, comment);
    const std::string id = key_id("vendor.pub");
    const std::pair<const char *, std::string> cases[] = {
        {"unsigned.zip", "unsigned: it has no signature (package.json.minisig)"},
        {"stranger.zip", "unknown key ID " + key_id("other.pub") +
                             ": it was signed by a key that is not trusted (trusted: " + id + ")"},
        {"manifest.zip",
         "bad signature: package.json does not match its signature by key ID " + id},
        {"comment.zip",
         "bad signature: the trusted comment does not match its signature by key "
         "ID " +
             id + " (it was changed)"},
        {"member.zip", "changed member: member 'img.bin' has SHA-256 "}};
    for (const auto &[zip, why] : cases) {
        // Without --simulate: a look for a device would end in "handle get failed".
        const ProcessResult r =
            run_process(kTool, {"--no-wait", "--trust", path("vendor.pub"), path(zip)});
        EXPECT_EQ(r.exit_status, 2) << zip;
        EXPECT_EQ(r.out, kUsage) << zip;
        EXPECT_NE(r.err.find("hidiap: package '" + path(zip) + "' refused: " + why),
                  std::string::npos)
            << r.err;
    }
    // Loose files carry no signature at all.
    const ProcessResult loose = run_process(kTool, {"--no-wait", "--trust", path("vendor.pub"),
                                                    path("img.bin"), path("tts.bin"), "1MB"});
    EXPECT_EQ(loose.exit_status, 2);
    EXPECT_EQ(loose.out, kUsage);
    EXPECT_NE(loose.err.find("only firmware packages signed by a trusted key run"),
              std::string::npos)
        << loose.err;
    // A key meant to be trusted that cannot be read refuses the run rather than trusting less.
    const ProcessResult broken =
        run_process(kTool, {"--no-wait", "--trust", path("img.bin"), path("fw.zip")});
    EXPECT_EQ(broken.exit_status, 2);
    EXPECT_NE(broken.err.find("the trusted key '" + path("img.bin") + "' is unusable"),
              std::string::npos)
        << broken.err;
}

TEST_F(SigningTool, AKeySealedWithAPasswordByMinisignSignsWithThePasswordFromStandardInput) {
    // minisign's own cost of sealing: a few seconds and 1 GiB, once each way.
    sh("printf 'pw\\npw\\n' | minisign -G -p sealed.pub -s sealed.key");
    ProcessOptions typed;
    typed.stdin_mode = Stdin::HeldOpen;
    typed.wait_for = "TTS file size is";  // the files are checked before the key is opened
    typed.then_write = [] { return std::string("pw\n"); };
    const ProcessResult made =
        run_process(kTool,
                    {"--make-package", path("sealed.zip"), "--sign", path("sealed.key"),
                     path("img.bin"), path("tts.bin"), "1MB"},
                    typed);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const ProcessResult r = run_process(
        kTool, {"--simulate", "--no-wait", "--trust", path("sealed.pub"), path("sealed.zip")});
    EXPECT_EQ(r.exit_status, 0) << r.err;
}
