// The firmware package: one zip archive holding the image, the TTS file and a manifest,
// package.json, that names them, gives the token and the SHA-256 of each, and optionally the
// firmware version and the device the firmware is for. Read and written in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

struct Package {
    std::string error;  // empty when the archive, its manifest and both checksums are good
    // The error is a member whose SHA-256 differs from the manifest's (all else was read).
    bool member_changed = false;
    // The manifest's bytes as stored (what a signature covers), when it could be read, and the
    // signature member's text, when there is one; kept whatever the error.
    std::vector<uint8_t> manifest_text;
    bool signed_package = false;
    std::string signature_text;
    Manifest manifest;
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
    bool ok() const { return error.empty(); }
};

// Whether the bytes begin as a zip archive does.
bool looks_like_zip(const uint8_t *data, size_t size);

// Reads the archive: the manifest, both members (each at most member_limit bytes), and checks
// both against their SHA-256.
Package read_package(const uint8_t *data, size_t size, uint64_t member_limit);

// A manifest name is a plain name inside the archive: not empty, not absolute, no "..", no
// backslash. Returns the reason it is not, or "".
std::string refuse_member_name(const std::string &name);

// The manifest as JSON text.
std::string manifest_json(const Manifest &m);

// Signs the manifest's text: puts the signature file's text in `signature`, or returns why not.
using ManifestSigner = std::function<std::string(const std::string &manifest, const Manifest &m,
                                                 std::string &signature)>;

// Writes a package of the two files to `out`; the manifest's digests are computed here. With a
// signer, its signature of the manifest goes in as kSignatureName. Returns the reason it could
// not, or "".
std::string write_package(Manifest m, const std::vector<uint8_t> &image,
                          const std::vector<uint8_t> &tts, std::vector<uint8_t> &out,
                          const ManifestSigner &signer = nullptr);

}  // namespace formats
