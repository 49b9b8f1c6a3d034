// The firmware package: one zip archive holding the image, the TTS file and a manifest,
// package.json, that names them, gives the token and the SHA-256 of each, and optionally the
// firmware version and the device the firmware is for. Read and written in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/result.h"

namespace formats {

constexpr const char *kManifestName = "package.json";
// The optional signature of the manifest, as its own member beside it.
constexpr const char *kSignatureName = "package.json.minisig";
constexpr int kPackageFormat = 1;  // the manifest's `format`; a newer one is refused

struct Manifest {
    int format = kPackageFormat;
    std::string image_name;
    std::string image_sha256;
    std::string tts_name;
    std::string tts_sha256;
    std::string token;
    std::string firmware_version;  // empty: not given
    std::string product;           // empty: any product string
    bool has_ids = false;          // vendor_id and product_id were given
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

// The manifest as the archive stores it and the signature member beside it: what a signature
// covers and says, read before anything they vouch for.
struct SignedManifest {
    std::vector<uint8_t> text;    // package.json's bytes as stored
    bool signed_package = false;  // the archive has a signature member (kSignatureName)
    std::string signature_text;   // its text; "" when it cannot be read
};

struct Package {
    SignedManifest stored;
    Manifest manifest;
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
};

// Whether the bytes begin as a zip archive does.
bool looks_like_zip(const uint8_t *data, size_t size);

// Reads the manifest member and, when there is one, the signature member. Refused (InvalidInput)
// when the bytes are no readable zip archive, an archive holds one name twice, or the manifest
// cannot be read; a signature member that cannot be read leaves signature_text empty.
base::Result<SignedManifest> read_signed_manifest(const uint8_t *data, size_t size);

// Reads the archive: the manifest, both members (each at most member_limit bytes), and checks
// both against their SHA-256. Refused when anything is wrong, with the member and the reason:
// Corrupt when a member's SHA-256 is not the manifest's (all else was read: the package was
// changed after it was made), Unsupported for a member encrypted or compressed in a way this
// reader does not read, InvalidInput for the rest.
base::Result<Package> read_package(const uint8_t *data, size_t size, uint64_t member_limit);

// A manifest name is a plain name inside the archive: not empty, not absolute, no "..", no
// backslash, no NUL. Refused (InvalidInput) with the reason ("holds '..'; ...").
base::Status check_member_name(const std::string &name);

// The manifest as JSON text.
std::string manifest_json(const Manifest &m);

// Signs the manifest's text: the signature file's text, or why not.
using ManifestSigner =
    std::function<base::Result<std::string>(const std::string &manifest, const Manifest &m)>;

// A package of the two files; the manifest's digests are computed here. With a signer, its
// signature of the manifest goes in as kSignatureName.
base::Result<std::vector<uint8_t>> write_package(Manifest m, const std::vector<uint8_t> &image,
                                                 const std::vector<uint8_t> &tts,
                                                 const ManifestSigner &signer = nullptr);

}  // namespace formats
