// minisign's files both ways: what Debian's minisign writes is read and checked here, what hidiap
// writes minisign accepts; each way a signature can fail is told apart; malformed files are
// refused with a reason; the trusted keys come from the files and the folder given.
#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/inputs/older_firmware.h"
#include "host/inputs/package_trust.h"
#include "signing/minisign.h"

namespace fs = std::filesystem;

namespace {

class Minisign : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(signing::ready().ok());
        dir = fs::temp_directory_path() /
              ("hidiap_signing_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        write("data", kData);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return (dir / name).string(); }
    void write(const std::string &name, const std::string &text) const {
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string read(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void sh(const std::string &command) const {
        ASSERT_EQ(
            std::system(("cd '" + dir.string() + "' && (" + command + ") >/dev/null 2>&1").c_str()),
            0)
            << command;
    }
    signing::Check check(const std::string &pub, const std::string &sig,
                         const std::string &data = kData) const {
        const base::Result<signing::PublicKey> key = signing::read_public_key(pub);
        const base::Result<signing::Signature> s = signing::read_signature(sig);
        EXPECT_TRUE(key.ok() && s.ok()) << (key.ok() ? s.message() : key.message());
        if (!key.ok() || !s.ok()) {
            return signing::Check::BadSignature;
        }
        return signing::verify(*key, *s, reinterpret_cast<const uint8_t *>(data.data()),
                               data.size());
    }

    static inline const std::string kData = "{\"format\": 1}\n";
    fs::path dir;
};

}  // namespace

TEST_F(Minisign, MinisignsSignaturesVerifyAndEachFailureIsToldApart) {
    sh("minisign -G -W -p m.pub -s m.key && minisign -S -W -s m.key -m data -t 'fw 1.0' && "
       "minisign -S -W -l -s m.key -m data -x legacy.minisig");
    const std::string pub = read("m.pub");
    const std::string sig = read("data.minisig");
    EXPECT_EQ(check(pub, sig), signing::Check::Good);
    EXPECT_EQ(check(pub, read("legacy.minisig")), signing::Check::Good);
    EXPECT_EQ(check(pub, sig, kData + " "), signing::Check::BadSignature);
    std::string edited = sig;
    edited.replace(edited.find("fw 1.0"), 6, "fw 9.9");
    EXPECT_EQ(check(pub, edited), signing::Check::ChangedComment);
    signing::SecretKey other;
    signing::make_key(other);
    EXPECT_EQ(check(signing::public_key_text(other.public_key()), sig), signing::Check::OtherKey);
    // Windows line ends, as an editor there may leave them, change nothing.
    std::string crlf;
    for (char c : pub)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(check(crlf, sig), signing::Check::Good);
}

TEST_F(Minisign, MinisignAcceptsHidiapsKeysAndSignatures) {
    signing::SecretKey key;
    signing::make_key(key);
    write("h.pub", signing::public_key_text(key.public_key()));
    write("h.key", signing::secret_key_text(key, "", signing::minisign_limits()).value());
    write("data.minisig", signing::sign(key, reinterpret_cast<const uint8_t *>(kData.data()),
                                        kData.size(), "file:data\tproduct:x")
                              .value());
    sh("minisign -V -p h.pub -m data");
    // minisign signs with hidiap's secret key, and the key ID is the one hidiap shows.
    sh("minisign -S -W -s h.key -m data -x by-minisign.minisig -t t");
    EXPECT_EQ(check(read("h.pub"), read("by-minisign.minisig")), signing::Check::Good);
    EXPECT_NE(read("h.pub").find(signing::key_id_text(key.id)), std::string::npos);
    EXPECT_FALSE(signing::sign(key, nullptr, 0, "two\nlines").ok());
}

TEST_F(Minisign, ASealedSecretKeyOpensWithItsPasswordOnly) {
    signing::SecretKey key;
    signing::make_key(key);
    // The cost of an interactive login, not minisign's: the sealing is the same.
    const signing::KdfLimits cheap{crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_INTERACTIVE,
                                   crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_INTERACTIVE};
    const std::string text = signing::secret_key_text(key, "correct horse", cheap).value();
    const base::Result<signing::SecretKeyFile> file = signing::read_secret_key(text);
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_TRUE(file->encrypted);
    const base::Result<signing::SecretKey> opened =
        signing::open_secret_key(*file, "correct horse");
    ASSERT_TRUE(opened.ok()) << opened.message();
    EXPECT_EQ(opened->key, key.key);
    EXPECT_EQ(opened->id, key.id);
    EXPECT_EQ(signing::open_secret_key(*file, "wrong horse").message(),
              "wrong password for this key");
}

TEST_F(Minisign, MalformedFilesAreRefusedWithTheirReason) {
    signing::SecretKey key;
    signing::make_key(key);
    const std::string pub = signing::public_key_text(key.public_key());
    const std::string sig = signing::sign(key, nullptr, 0, "c").value();
    const std::string b64 = pub.substr(pub.find('\n') + 1);
    const auto why = [](const auto &result) { return result.ok() ? "" : result.message(); };
    EXPECT_NE(why(signing::read_public_key("")).find("not a minisign public key"),
              std::string::npos);
    EXPECT_NE(why(signing::read_public_key("untrusted comment: x\n" + b64.substr(4)))
                  .find("not the base64 of a 42-byte key"),
              std::string::npos);
    EXPECT_NE(why(signing::read_public_key("untrusted comment: x\nRWQ=\n")).find("42-byte"),
              std::string::npos);
    EXPECT_FALSE(signing::read_public_key("untrusted comment: x\n" + b64 + "extra\n").ok());
    EXPECT_NE(why(signing::read_signature(pub)).find("not a minisign signature"),
              std::string::npos);
    std::string long_comment = sig;
    long_comment.insert(long_comment.find("trusted comment: c") + 17, std::string(1100, 'x'));
    EXPECT_NE(why(signing::read_signature(long_comment)).find("longer than 1024"),
              std::string::npos);
    std::string sealed = signing::secret_key_text(key, "", signing::minisign_limits()).value();
    const base::Result<signing::SecretKeyFile> f = signing::read_secret_key(sealed);
    ASSERT_TRUE(f.ok()) << f.message();
    EXPECT_FALSE(f->encrypted);
    // "Ed" then the key derivation's tag: "AAA" in base64 is two zero bytes, "Sc" is "U2".
    sealed.replace(sealed.find("RWQAAE"), 6, "RWRYWE");
    EXPECT_NE(why(signing::read_secret_key(sealed)).find("unknown key derivation"),
              std::string::npos);
}

// minisign's own files show a leading zero of a key ID too: the ID is always 16 digits.
TEST(KeyIds, AreSixteenHexDigitsWithTheirLeadingZeros) {
    const signing::KeyId id = {0xEC, 0xDD, 0x4E, 0x49, 0xE8, 0x57, 0x9B, 0x05};
    EXPECT_EQ(signing::key_id_text(id), "059B57E8494EDDEC");
    EXPECT_EQ(signing::key_id_text(signing::KeyId{}), "0000000000000000");
    signing::SecretKey key;
    signing::make_key(key);
    key.id = id;
    const std::string pub = signing::public_key_text(key.public_key());
    EXPECT_NE(pub.find("minisign public key 059B57E8494EDDEC\n"), std::string::npos) << pub;
}

TEST_F(Minisign, TrustedKeysComeFromTheFilesAndThePubFilesOfTheFolder) {
    signing::SecretKey a, b;
    signing::make_key(a);
    signing::make_key(b);
    fs::create_directories(dir / "keys");
    write("keys/b.pub", signing::public_key_text(b.public_key()));
    write("keys/README", "not a key");
    write("a.pub", signing::public_key_text(a.public_key()));
    const base::Result<std::vector<host::TrustedKey>> trusted =
        host::load_trusted_keys({path("a.pub")}, path("keys"));
    ASSERT_TRUE(trusted.ok()) << trusted.message();
    ASSERT_EQ(trusted->size(), 2u);
    EXPECT_EQ((*trusted)[0].key.id, a.id);
    EXPECT_EQ((*trusted)[1].key.id, b.id);
    EXPECT_EQ((*trusted)[1].file, path("keys/b.pub"));
    const auto none = host::load_trusted_keys({}, path("no such folder"));
    ASSERT_TRUE(none.ok()) << none.message();
    EXPECT_TRUE(none->empty());
    write("keys/broken.pub", "untrusted comment: x\nnot base64\n");
    const auto broken = host::load_trusted_keys({}, path("keys"));
    ASSERT_FALSE(broken.ok());
    EXPECT_NE(
        broken.message().find("the trusted key '" + path("keys/broken.pub") + "' is unusable"),
        std::string::npos)
        << broken.message();
}

TEST(OlderFirmware, VersionsCompareAsSemanticVersionsAndTheCounterIsAFloorNothingLifts) {
    // In precedence order, as semantic versions rank them (build metadata aside).
    const char *const ordered[] = {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta",
                                   "1.0.0-beta",  "1.0.0-beta.2",  "1.0.0-beta.11",
                                   "1.0.0-rc.1",  "1.0.0",         "1.2.0",
                                   "1.10.0",      "2.0.0"};
    for (size_t i = 0; i + 1 < std::size(ordered); i++) {
        EXPECT_EQ(host::compare_versions(ordered[i], ordered[i + 1]), -1) << ordered[i];
        EXPECT_EQ(host::compare_versions(ordered[i + 1], ordered[i]), 1) << ordered[i];
    }
    EXPECT_EQ(host::compare_versions("1.0.0+build.5", "1.0.0"), 0);
    for (const char *odd : {"1.0", "v1.0.0", "01.0.0", "1.0.0-", "1.0.0-01", "2026-12-09"}) {
        EXPECT_FALSE(host::compare_versions(odd, "1.0.0").has_value()) << odd;
    }
    formats::Manifest m;
    m.firmware_version = "1.0.0";
    m.has_security_counter = true;
    m.security_counter = 1;
    EXPECT_NE(host::judge_older_firmware(m, {2, "0.9.0"}, true).refusal.find("counter is 1"),
              std::string::npos);
    EXPECT_NE(host::judge_older_firmware(m, {1, "1.1.0"}, false).refusal.find("older than 1.1.0"),
              std::string::npos);
    EXPECT_EQ(host::judge_older_firmware(m, {1, "1.1.0"}, true).refusal, "");
    const host::OlderFirmwareVerdict odd = host::judge_older_firmware(m, {0, "build 7"}, false);
    EXPECT_EQ(odd.refusal, "");
    EXPECT_NE(odd.note.find("not both semantic versions; not compared"), std::string::npos);
    // A package without a counter counts as 0.
    EXPECT_NE(host::judge_older_firmware(formats::Manifest{}, {1, ""}, true).refusal, "");
}
