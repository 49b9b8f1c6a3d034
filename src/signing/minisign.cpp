#include "signing/minisign.h"

#include <sodium.h>

#include <cinttypes>
#include <cstring>
#include <vector>

#include "base/text.h"

namespace signing {

namespace {

using base::Error;
using base::ErrorCode;

Error refused(std::string why) {
    return Error(ErrorCode::InvalidInput, std::move(why));
}

// The algorithm tags at the start of each binary field.
constexpr char kEd25519[] = "Ed";         // a key, or a signature of the data itself
constexpr char kPrehashed[] = "ED";       // a signature of the data's BLAKE2b-512 hash
constexpr char kScrypt[] = "Sc";          // the secret key is sealed with scrypt
constexpr char kBlake2b[] = "B2";         // the secret key's checksum
constexpr char kNoKdf[2] = {'\0', '\0'};  // the secret key is stored in the clear
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 104;
constexpr const char *kUntrusted = "untrusted comment: ";
constexpr const char *kTrusted = "trusted comment: ";
// A key file asking for more than this would take minutes or more memory than a PC has.
constexpr uint64_t kMemlimitCeiling = 1ull << 32;
constexpr uint64_t kOpslimitCeiling = 1ull << 32;

// The file's lines without their line ends ("\n" or "\r\n"); a last line without one counts.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    // Blank lines after the content are what editors leave; they change nothing.
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Exactly `size` bytes from standard base64, with nothing left over.
bool decode(const std::string &text, uint8_t *out, size_t size) {
    std::vector<uint8_t> bytes(size + 3);
    size_t got = 0;
    const char *end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || got != size) {
        return false;
    }
    std::memcpy(out, bytes.data(), size);
    return true;
}

std::string encode(const uint8_t *bytes, size_t size) {
    std::string text(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

uint64_t load_le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

void store_le64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The secret key's checksum: BLAKE2b-256 of the algorithm, key ID and key.
std::array<uint8_t, 32> checksum(const SecretKey &key) {
    std::array<uint8_t, 32> sum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sum.size());
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t *>(kEd25519), 2);
    crypto_generichash_update(&state, key.id.data(), key.id.size());
    crypto_generichash_update(&state, key.key.data(), key.key.size());
    crypto_generichash_final(&state, sum.data(), sum.size());
    return sum;
}

// XORs the sealed bytes with the scrypt stream of the password; false when scrypt fails.
bool apply_password(std::array<uint8_t, 104> &sealed, const std::string &password,
                    const std::array<uint8_t, 32> &salt, uint64_t opslimit, uint64_t memlimit) {
    std::array<uint8_t, 104> stream{};
    if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(),
                                           password.size(), salt.data(), opslimit,
                                           static_cast<size_t>(memlimit)) != 0) {
        return false;
    }
    for (size_t i = 0; i < sealed.size(); i++)
        sealed[i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
    return true;
}

// The message an Ed25519 signature covers: the data, or its BLAKE2b-512 hash.
std::vector<uint8_t> signed_message(bool prehashed, const uint8_t *data, size_t size) {
    if (!prehashed)
        return std::vector<uint8_t>(data, data + size);
    std::vector<uint8_t> hash(crypto_generichash_BYTES_MAX);
    crypto_generichash(hash.data(), hash.size(), data, size, nullptr, 0);
    return hash;
}

std::vector<uint8_t> global_message(const std::array<uint8_t, 64> &signature,
                                    const std::string &trusted_comment) {
    std::vector<uint8_t> m(signature.begin(), signature.end());
    m.insert(m.end(), trusted_comment.begin(), trusted_comment.end());
    return m;
}

}  // namespace

base::Status ready() {
    if (sodium_init() < 0) {
        return Error(ErrorCode::Internal, "the cryptography library could not start");
    }
    return {};
}

std::string key_id_text(const KeyId &id) {
    return base::format("%016" PRIX64, load_le64(id.data()));
}

SecretKey::~SecretKey() {
    sodium_memzero(key.data(), key.size());
}

PublicKey SecretKey::public_key() const {
    PublicKey p;
    p.id = id;
    crypto_sign_ed25519_sk_to_pk(p.key.data(), key.data());
    return p;
}

base::Result<PublicKey> read_public_key(const std::string &text) {
    const std::vector<std::string> lines = lines_of(text);
    if (lines.size() != 2 || !starts_with(lines[0], kUntrusted)) {
        return refused("not a minisign public key file (an untrusted comment line, then the key)");
    }
    uint8_t bytes[kPublicKeyBytes];
    if (!decode(lines[1], bytes, sizeof bytes)) {
        return refused("its key line is not the base64 of a " + std::to_string(kPublicKeyBytes) +
                       "-byte key");
    }
    if (std::memcmp(bytes, kEd25519, 2) != 0)
        return refused("it is not an Ed25519 key");
    PublicKey out;
    std::memcpy(out.id.data(), bytes + 2, 8);
    std::memcpy(out.key.data(), bytes + 10, 32);
    return out;
}

base::Result<Signature> read_signature(const std::string &text) {
    const std::vector<std::string> lines = lines_of(text);
    if (lines.size() != 4 || !starts_with(lines[0], kUntrusted) ||
        !starts_with(lines[2], kTrusted)) {
        return refused(
            "not a minisign signature file (untrusted comment, signature, trusted comment, "
            "global signature)");
    }
    uint8_t bytes[kSignatureBytes];
    if (!decode(lines[1], bytes, sizeof bytes)) {
        return refused("its signature line is not the base64 of a " +
                       std::to_string(kSignatureBytes) + "-byte signature");
    }
    Signature out;
    if (std::memcmp(bytes, kPrehashed, 2) == 0) {
        out.prehashed = true;
    } else if (std::memcmp(bytes, kEd25519, 2) == 0) {
        out.prehashed = false;
    } else {
        return refused("it is not an Ed25519 signature");
    }
    out.trusted_comment = lines[2].substr(std::strlen(kTrusted));
    if (out.trusted_comment.size() > kCommentLimit) {
        return refused("its trusted comment is longer than " + std::to_string(kCommentLimit) +
                       " bytes");
    }
    if (!decode(lines[3], out.global_signature.data(), out.global_signature.size())) {
        return refused("its last line is not the base64 of a 64-byte global signature");
    }
    std::memcpy(out.id.data(), bytes + 2, 8);
    std::memcpy(out.signature.data(), bytes + 10, 64);
    out.untrusted_comment = lines[0].substr(std::strlen(kUntrusted));
    return out;
}

base::Result<SecretKeyFile> read_secret_key(const std::string &text) {
    const std::vector<std::string> lines = lines_of(text);
    if (lines.size() != 2 || !starts_with(lines[0], kUntrusted)) {
        return refused("not a minisign secret key file (an untrusted comment line, then the key)");
    }
    uint8_t bytes[kSecretKeyBytes];
    if (!decode(lines[1], bytes, sizeof bytes)) {
        return refused("its key line is not the base64 of a " + std::to_string(kSecretKeyBytes) +
                       "-byte secret key");
    }
    SecretKeyFile out;
    if (std::memcmp(bytes, kEd25519, 2) != 0)
        return refused("it is not an Ed25519 key");
    if (std::memcmp(bytes + 2, kScrypt, 2) == 0) {
        out.encrypted = true;
    } else if (std::memcmp(bytes + 2, kNoKdf, 2) == 0) {
        out.encrypted = false;
    } else {
        return refused("its key is sealed with an unknown key derivation");
    }
    if (std::memcmp(bytes + 4, kBlake2b, 2) != 0)
        return refused("its checksum is of an unknown kind");
    std::memcpy(out.salt.data(), bytes + 6, 32);
    out.opslimit = load_le64(bytes + 38);
    out.memlimit = load_le64(bytes + 46);
    std::memcpy(out.sealed.data(), bytes + 54, out.sealed.size());
    if (out.encrypted && (out.opslimit > kOpslimitCeiling || out.memlimit > kMemlimitCeiling)) {
        return refused("its key derivation asks for more work or memory than any key file needs");
    }
    return out;
}

base::Result<SecretKey> open_secret_key(const SecretKeyFile &file, const std::string &password) {
    std::array<uint8_t, 104> plain = file.sealed;
    if (file.encrypted &&
        !apply_password(plain, password, file.salt, file.opslimit, file.memlimit)) {
        return Error(ErrorCode::Unavailable,
                     "its password could not be applied (too little memory for its key "
                     "derivation)");
    }
    SecretKey out;
    std::memcpy(out.id.data(), plain.data(), 8);
    std::memcpy(out.key.data(), plain.data() + 8, 64);
    std::array<uint8_t, 32> stored{};
    std::memcpy(stored.data(), plain.data() + 72, 32);
    sodium_memzero(plain.data(), plain.size());
    // minisign leaves the checksum of an unencrypted key empty.
    const bool unchecked = !file.encrypted && sodium_is_zero(stored.data(), stored.size());
    if (!unchecked && sodium_memcmp(checksum(out).data(), stored.data(), stored.size()) != 0) {
        if (file.encrypted) {
            return refused("wrong password for this key");
        }
        return Error(ErrorCode::Corrupt, "the key is damaged");
    }
    return out;
}

Check verify(const PublicKey &key, const Signature &sig, const uint8_t *data, size_t size) {
    if (sig.id != key.id)
        return Check::OtherKey;
    const std::vector<uint8_t> message = signed_message(sig.prehashed, data, size);
    if (crypto_sign_verify_detached(sig.signature.data(), message.data(), message.size(),
                                    key.key.data()) != 0) {
        return Check::BadSignature;
    }
    const std::vector<uint8_t> global = global_message(sig.signature, sig.trusted_comment);
    if (crypto_sign_verify_detached(sig.global_signature.data(), global.data(), global.size(),
                                    key.key.data()) != 0) {
        return Check::ChangedComment;
    }
    return Check::Good;
}

KdfLimits minisign_limits() {
    return {crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE,
            crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE};
}

void make_key(SecretKey &out) {
    std::array<uint8_t, 32> pk{};
    crypto_sign_keypair(pk.data(), out.key.data());
    randombytes_buf(out.id.data(), out.id.size());
}

std::string public_key_text(const PublicKey &key) {
    uint8_t bytes[kPublicKeyBytes];
    std::memcpy(bytes, kEd25519, 2);
    std::memcpy(bytes + 2, key.id.data(), 8);
    std::memcpy(bytes + 10, key.key.data(), 32);
    return std::string(kUntrusted) + "minisign public key " + key_id_text(key.id) + "\n" +
           encode(bytes, sizeof bytes) + "\n";
}

base::Result<std::string> secret_key_text(const SecretKey &key, const std::string &password,
                                          KdfLimits limits) {
    const bool encrypted = !password.empty();
    uint8_t bytes[kSecretKeyBytes] = {};
    std::memcpy(bytes, kEd25519, 2);
    std::memcpy(bytes + 2, encrypted ? kScrypt : kNoKdf, 2);
    std::memcpy(bytes + 4, kBlake2b, 2);
    std::array<uint8_t, 104> sealed{};
    std::memcpy(sealed.data(), key.id.data(), 8);
    std::memcpy(sealed.data() + 8, key.key.data(), 64);
    if (encrypted) {
        const std::array<uint8_t, 32> sum = checksum(key);
        std::memcpy(sealed.data() + 72, sum.data(), sum.size());
        std::array<uint8_t, 32> salt{};
        randombytes_buf(salt.data(), salt.size());
        if (!apply_password(sealed, password, salt, limits.opslimit, limits.memlimit)) {
            sodium_memzero(sealed.data(), sealed.size());
            return Error(ErrorCode::Unavailable,
                         "too little memory to protect the key with its password");
        }
        std::memcpy(bytes + 6, salt.data(), salt.size());
        store_le64(bytes + 38, limits.opslimit);
        store_le64(bytes + 46, limits.memlimit);
    }
    std::memcpy(bytes + 54, sealed.data(), sealed.size());
    std::string text = std::string(kUntrusted) + "hidiap secret key" +
                       (encrypted ? "" : " (not encrypted)") + "\n" + encode(bytes, sizeof bytes) +
                       "\n";
    sodium_memzero(sealed.data(), sealed.size());
    sodium_memzero(bytes, sizeof bytes);
    return text;
}

base::Result<std::string> sign(const SecretKey &key, const uint8_t *data, size_t size,
                               const std::string &trusted_comment) {
    if (trusted_comment.size() > kCommentLimit ||
        trusted_comment.find_first_of("\r\n") != std::string::npos) {
        return refused("the trusted comment must be one line of at most " +
                       std::to_string(kCommentLimit) + " bytes");
    }
    std::array<uint8_t, 64> signature{};
    const std::vector<uint8_t> message = signed_message(true, data, size);
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), key.key.data());
    std::array<uint8_t, 64> global{};
    const std::vector<uint8_t> both = global_message(signature, trusted_comment);
    crypto_sign_detached(global.data(), nullptr, both.data(), both.size(), key.key.data());
    uint8_t bytes[kSignatureBytes];
    std::memcpy(bytes, kPrehashed, 2);
    std::memcpy(bytes + 2, key.id.data(), 8);
    std::memcpy(bytes + 10, signature.data(), 64);
    return std::string(kUntrusted) + "signature from hidiap secret key\n" +
           encode(bytes, sizeof bytes) + "\n" + kTrusted + trusted_comment + "\n" +
           encode(global.data(), global.size()) + "\n";
}

}  // namespace signing
