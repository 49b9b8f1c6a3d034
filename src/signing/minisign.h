// Signatures in minisign's format: its public key files, secret key files and signature files,
// read, checked and made, so that a key pair made by minisign signs for hidiap and the other way
// round. Pure: text in, text out; libsodium does every bit of the cryptography (Ed25519,
// BLAKE2b, scrypt).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace signing {

using KeyId = std::array<uint8_t, 8>;

// Starts libsodium (safe to call again). Refused (Internal) when it cannot start; nothing here
// works then.
base::Status ready();

// A key ID as minisign shows it: the eight bytes as a little-endian number in upper-case hex,
// always 16 digits (a leading zero is one of them).
std::string key_id_text(const KeyId &id);

// A trusted comment is one line of at most this many bytes, as minisign keeps it.
constexpr size_t kCommentLimit = 1024;

struct PublicKey {
    KeyId id{};
    std::array<uint8_t, 32> key{};
};

struct Signature {
    bool prehashed = true;  // signs the BLAKE2b-512 hash of the data, not the data itself
    KeyId id{};
    std::array<uint8_t, 64> signature{};
    std::string untrusted_comment;
    std::string trusted_comment;
    std::array<uint8_t, 64> global_signature{};  // of the signature and the trusted comment
};

// A secret key file as stored: the key ID, key and checksum are sealed with a stream derived
// from the password by scrypt, unless the file is unencrypted.
struct SecretKeyFile {
    bool encrypted = false;
    std::array<uint8_t, 32> salt{};
    uint64_t opslimit = 0;
    uint64_t memlimit = 0;
    std::array<uint8_t, 104> sealed{};
};

struct SecretKey {
    KeyId id{};
    std::array<uint8_t, 64> key{};  // libsodium's form: the seed, then the public key
    SecretKey() = default;
    SecretKey(const SecretKey &) = default;
    SecretKey &operator=(const SecretKey &) = default;
    ~SecretKey();
    PublicKey public_key() const;
};

// The readers take a whole file's text; each refuses (InvalidInput) what is not such a file, with
// the reason.
base::Result<PublicKey> read_public_key(const std::string &text);
base::Result<Signature> read_signature(const std::string &text);
base::Result<SecretKeyFile> read_secret_key(const std::string &text);

// Opens the file's key with the password (unused when the file is unencrypted). Refused with
// InvalidInput for a wrong password, Corrupt for a damaged key, Unavailable when there is too
// little memory for the key derivation.
base::Result<SecretKey> open_secret_key(const SecretKeyFile &file, const std::string &password);

enum class Check {
    Good,
    OtherKey,        // made by a key with another ID
    BadSignature,    // the data is not what was signed
    ChangedComment,  // the data is, but the trusted comment is not what was signed
};
Check verify(const PublicKey &key, const Signature &sig, const uint8_t *data, size_t size);

struct KdfLimits {
    uint64_t opslimit;
    uint64_t memlimit;
};
// The scrypt cost minisign gives the keys it encrypts (about a second and 1 GiB).
KdfLimits minisign_limits();

// A new key pair with a random key ID.
void make_key(SecretKey &out);

std::string public_key_text(const PublicKey &key);
// The secret key file, sealed with the password, or unencrypted when it is empty. Unavailable
// when the key derivation failed (too little memory).
base::Result<std::string> secret_key_text(const SecretKey &key, const std::string &password,
                                          KdfLimits limits);
// The signature file of the data (prehashed). Refused (InvalidInput) when the trusted comment is
// not one line of at most kCommentLimit bytes.
base::Result<std::string> sign(const SecretKey &key, const uint8_t *data, size_t size,
                               const std::string &trusted_comment);

}  // namespace signing
