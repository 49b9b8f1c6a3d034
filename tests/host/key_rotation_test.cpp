// Keys that change: a package signed by several keys, a key rotated from the old to the new one,
// a revoked key refused from wherever it is named, and a signature added later that minisign
// itself verifies.
#include <cstdlib>

#include "formats/firmware_package.h"
#include "tool_fixture.h"

namespace {

class KeyRotation : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        for (const char *name : {"old", "new"}) {
            const ProcessResult made =
                run_process(kTool, {"key", "make", path(name), "--unencrypted"});
            ASSERT_EQ(made.exit_status, 0) << made.err;
        }
        fs::create_directories(dir / "none");  // an empty system folder
    }
    ProcessResult make(const std::string &zip, std::vector<std::string> keys) const {
        std::vector<std::string> args = {"package", "make", path(zip)};
        for (const std::string &k : keys) {
            args.insert(args.end(), {"--sign", path(k + ".key")});
        }
        args.insert(args.end(), {path("img.bin"), path("tts.bin"), "1MB"});
        return run_process(kTool, args);
    }
    // A run on a station whose folders of keys are `trusted` and `revoked` (empty: none).
    ProcessResult station(const std::string &zip, std::vector<std::string> extra,
                          const std::string &trusted = "none",
                          const std::string &revoked = "none") const {
        std::vector<std::string> args = {
            "update",      "--simulate",         "--no-wait",  "--trusted-keys-dir",
            path(trusted), "--revoked-keys-dir", path(revoked)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path(zip));
        return run_process(kTool, args);
    }
    std::string key_id(const std::string &name) const {
        const std::vector<uint8_t> pub = read_file(name + ".pub");
        const std::string text(pub.begin(), pub.end());
        const size_t at = text.find("public key ") + 11;
        return text.substr(at, text.find('\n') - at);
    }
    void folder_with(const std::string &folder, const std::string &key) const {
        fs::create_directories(dir / folder);
        fs::copy_file(path(key + ".pub"), dir / folder / (key + ".pub"));
    }
};

}  // namespace

TEST_F(KeyRotation, APackageSignedByBothKeysRunsOnEveryStationThenTheNewKeyAloneWhereItIsTrusted) {
    ASSERT_EQ(make("fw.zip", {"old"}).exit_status, 0);
    const std::vector<uint8_t> before = read_file("fw.zip");
    // The new key signs the released package in place; nothing it held changes.
    const ProcessResult added =
        run_process(kTool, {"package", "sign", path("fw.zip"), "--sign", path("new.key")});
    ASSERT_EQ(added.exit_status, 0) << added.err;
    const std::vector<uint8_t> both = read_file("fw.zip");
    const formats::Package was =
        formats::read_package(before.data(), before.size(), 1 << 20).value();
    const formats::Package is = formats::read_package(both.data(), both.size(), 1 << 20).value();
    EXPECT_EQ(is.stored.text, was.stored.text);
    EXPECT_EQ(is.image, was.image);
    EXPECT_EQ(is.stored.signature_text, was.stored.signature_text);
    ASSERT_EQ(is.stored.signatures.size(), 2u);
    const std::string member = "package.json." + key_id("new") + ".minisig";
    EXPECT_EQ(is.stored.signatures[1].name, member);
    // Debian's minisign verifies the added signature of the manifest as it is stored.
    std::ofstream(path("package.json"), std::ios::binary)
        .write(reinterpret_cast<const char *>(is.stored.text.data()),
               static_cast<std::streamsize>(is.stored.text.size()));
    std::ofstream(path(member), std::ios::binary) << is.stored.signatures[1].text;
    EXPECT_EQ(std::system(("minisign -V -q -p '" + path("new.pub") + "' -m '" +
                           path("package.json") + "' -x '" + path(member) + "'")
                              .c_str()),
              0);
    // A key signs a package once.
    EXPECT_EQ(run_process(kTool, {"package", "sign", path("fw.zip"), "--sign", path("new.key")})
                  .exit_status,
              2);
    EXPECT_TRUE(read_file("fw.zip") == both);

    folder_with("old-only", "old");
    folder_with("new-only", "new");
    folder_with("both", "old");
    fs::copy_file(path("new.pub"), dir / "both" / "new.pub");
    for (const char *trusted : {"old-only", "new-only", "both"}) {
        const ProcessResult r = station("fw.zip", {}, trusted);
        EXPECT_EQ(r.exit_status, 0) << trusted << r.err;
    }
    // Once the new key alone signs, a station that knows only the old key refuses it.
    ASSERT_EQ(make("next.zip", {"new"}).exit_status, 0);
    EXPECT_EQ(station("next.zip", {}, "new-only").exit_status, 0);
    EXPECT_EQ(station("next.zip", {}, "both").exit_status, 0);
    const ProcessResult old = station("next.zip", {}, "old-only");
    EXPECT_EQ(old.exit_status, 2);
    EXPECT_NE(old.err.find("refused: unknown key ID " + key_id("new")), std::string::npos)
        << old.err;

    // package show lists each signature with what its key is here.
    const ProcessResult shown =
        run_process(kTool, {"package", "show", "--trusted-keys-dir", path("new-only"), "--revoke",
                            path("old.pub"), path("fw.zip")});
    EXPECT_EQ(shown.exit_status, 0) << shown.err;
    EXPECT_NE(shown.out.find("signatures:       key ID " + key_id("old") + ", revoked ('" +
                             path("old.pub") + "')\n                  key ID " + key_id("new") +
                             ", trusted ('" + path("new-only/new.pub") + "')\n"),
              std::string::npos)
        << shown.out;
}

TEST_F(KeyRotation, ARevokedKeyIsRefusedFromWhereverItIsNamedAndWithATrustedOneItRunsWithAWarning) {
    ASSERT_EQ(make("old.zip", {"old"}).exit_status, 0);
    ASSERT_EQ(make("both.zip", {"old", "new"}).exit_status, 0);
    folder_with("revoked", "old");
    folder_with("trusted", "old");
    const std::string refused =
        "refused: revoked key: it is signed only by keys that were revoked "
        "(key ID " +
        key_id("old");
    const std::vector<std::pair<const char *, ProcessResult>> cases = {
        {"--revoke, no key trusted", station("old.zip", {"--revoke", path("old.pub")})},
        {"the revoked folder", station("old.zip", {}, "none", "revoked")},
        {"revoked and trusted too",
         station("old.zip", {"--trust", path("old.pub")}, "trusted", "revoked")},
        {"trusted, and revoked by --revoke",
         station("old.zip", {"--revoke", path("old.pub")}, "trusted")}};
    for (const auto &[where, r] : cases) {
        EXPECT_EQ(r.exit_status, 2) << where;
        EXPECT_EQ(r.out, kUsage) << where;
        EXPECT_NE(r.err.find(refused), std::string::npos) << where << r.err;
    }
    const ProcessResult show = run_process(
        kTool, {"package", "show", "--revoked-keys-dir", path("revoked"), path("old.zip")});
    EXPECT_EQ(show.exit_status, 2);
    EXPECT_NE(show.out.find("runs here:        no: revoked key:"), std::string::npos) << show.out;

    // The rotation's transition: revoked old key, trusted new one.
    const ProcessResult both = station("both.zip", {"--trust", path("new.pub")}, "none", "revoked");
    EXPECT_EQ(both.exit_status, 0) << both.err;
    EXPECT_NE(
        both.err.find("hidiap: warning: package '" + path("both.zip") +
                      "': one of its signatures is by a revoked key (key ID " + key_id("old")),
        std::string::npos)
        << both.err;
    // With no key trusted it runs too: not every signature is by a revoked key.
    EXPECT_EQ(station("both.zip", {}, "none", "revoked").exit_status, 0);
    // A revoked key file that cannot be read refuses the run rather than revoking less.
    const ProcessResult broken = station("both.zip", {"--revoke", path("img.bin")});
    EXPECT_EQ(broken.exit_status, 2);
    EXPECT_NE(broken.err.find("the revoked key '" + path("img.bin") + "' is unusable"),
              std::string::npos)
        << broken.err;
}
