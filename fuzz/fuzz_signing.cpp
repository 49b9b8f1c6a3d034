// Fuzzes the readers of minisign's files: public keys, signatures and secret keys. The first byte
// picks the reader; the rest is the file's text. Any input is refused with a reason or read into
// a key or signature that, written out again, reads back the same; a signature read is checked
// against a fixed key without harm. The seeds are files that hidiap and minisign wrote.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "signing/minisign.h"

namespace {

const signing::PublicKey &fixed_key() {
    static const signing::PublicKey key = [] {
        signing::SecretKey secret;
        signing::make_key(secret);
        return secret.public_key();
    }();
    return key;
}

void check_public_key(const std::string &text) {
    const base::Result<signing::PublicKey> key = signing::read_public_key(text);
    if (!key.ok())
        return;
    const base::Result<signing::PublicKey> again =
        signing::read_public_key(signing::public_key_text(*key));
    FUZZ_CHECK(again.ok() && again->id == key->id && again->key == key->key,
               "a public key that does not read back as written");
}

void check_signature(const std::string &text) {
    const base::Result<signing::Signature> read = signing::read_signature(text);
    if (!read.ok()) {
        FUZZ_CHECK(!read.message().empty(), "refused without a reason");
        return;
    }
    const signing::Signature &sig = *read;
    FUZZ_CHECK(sig.trusted_comment.size() <= signing::kCommentLimit &&
                   sig.trusted_comment.find('\n') == std::string::npos,
               "a trusted comment that is not one short line");
    const uint8_t data[] = {'x'};
    signing::PublicKey key = fixed_key();
    key.id = sig.id;
    FUZZ_CHECK(signing::verify(key, sig, data, sizeof data) != signing::Check::Good,
               "a signature of another key verified");
}

void check_secret_key(const std::string &text) {
    const base::Result<signing::SecretKeyFile> file = signing::read_secret_key(text);
    if (!file.ok())
        return;
    // Only an unencrypted key is opened: scrypt at the file's cost would stall the fuzzer.
    if (file->encrypted)
        return;
    const base::Result<signing::SecretKey> key = signing::open_secret_key(*file, "");
    if (key.ok()) {
        const base::Result<std::string> written =
            signing::secret_key_text(*key, "", signing::minisign_limits());
        const base::Result<signing::SecretKeyFile> again =
            written.ok() ? signing::read_secret_key(*written) : written.error();
        FUZZ_CHECK(again.ok() && !again->encrypted,
                   "an unencrypted secret key that does not read back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || !signing::ready().ok())
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            check_public_key(text);
            break;
        case 1:
            check_signature(text);
            break;
        default:
            check_secret_key(text);
            break;
    }
    return 0;
}
