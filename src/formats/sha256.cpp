#include "formats/sha256.h"

#ifdef _WIN32
// Windows' own cryptography API: no DLL beyond Windows' own.
#include <windows.h>
// windows.h first
#include <bcrypt.h>
#else
#include <nettle/sha2.h>
#endif

namespace formats {

namespace {

std::string to_hex(const uint8_t *digest, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; i++) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

}  // namespace

#ifdef _WIN32

std::string sha256_hex(const uint8_t *data, size_t size) {
    uint8_t digest[32] = {};
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // BCryptHashData takes at most 4 GiB at a time.
    while (ok && size > 0) {
        const ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        ok = BCryptHashData(hash, const_cast<PUCHAR>(data), part, 0) == 0;
        data += part;
        size -= part;
    }
    ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    if (alg != nullptr)
        BCryptCloseAlgorithmProvider(alg, 0);
    return ok ? to_hex(digest, sizeof digest) : std::string();
}

#else

std::string sha256_hex(const uint8_t *data, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, size, data);
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return to_hex(digest, sizeof digest);
}

#endif

}  // namespace formats
