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
#include "formats/unit_field.h"

namespace formats {

constexpr const char *kManifestName = "package.json";
// The optional signature of the manifest, as its own member beside it.
constexpr const char *kSignatureName = "package.json.minisig";
// A package signed by several keys carries one member per key: the first signature in
// kSignatureName, each further one in package.json.KEYID.minisig (KEYID as minisign shows it).
// Every member named package.json.*.minisig is taken for a signature.
std::string signature_member_name(bool first, const std::string &key_id);
bool is_signature_name(const std::string &name);
// More signature members than this are refused: nobody signs with that many keys.
constexpr size_t kSignatureMemberLimit = 16;
constexpr int kPackageFormat = 1;  // the manifest's `format`; a newer one is refused

struct Manifest {
    int format = kPackageFormat;
    std::string image_name;
    std::string image_sha256;
    std::string tts_name;
    std::string tts_sha256;
    std::string token;
    std::string firmware_version;  // empty: not given
    // Raised by the vendor when older releases must no longer be installed; 0 when not given.
    bool has_security_counter = false;
    uint64_t security_counter = 0;
    std::string product;   // empty: any product string
    bool has_ids = false;  // vendor_id and product_id were given
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    // Each board's own values (its serial number, its MAC address), written into its copy of
    // the image by a station that allocates them; none: every board gets the same image.
    std::vector<UnitField> unit_fields;
};

// A signature member as stored.
struct SignatureMember {
    std::string name;
    bool read = false;  // its bytes could be taken out of the archive
    std::string text;
};

// The manifest as the archive stores it and the signature members beside it: what the
// signatures cover and say, read before anything they vouch for.
struct SignedManifest {
    std::vector<uint8_t> text;    // package.json's bytes as stored
    bool signed_package = false;  // the archive has at least one signature member
    std::string signature_text;   // the first one's text; "" when it cannot be read
    // Every signature member: kSignatureName first, then the others in the archive's order.
    std::vector<SignatureMember> signatures;
};

struct Package {
    SignedManifest stored;
    Manifest manifest;
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
};

// The DOS date and time of a Unix time (seconds, UTC) that a package's entries are stamped
// with; clamped to what a zip can hold, from 1980-01-01 to 2107-12-31.
uint32_t dos_time_of(int64_t unix_seconds);

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

// A signature of the manifest's text: the key ID that made it and the signature file's text.
struct MadeSignature {
    std::string key_id;
    std::string text;
};
// Signs the manifest's text, or says why not.
using ManifestSigner =
    std::function<base::Result<MadeSignature>(const std::string &manifest, const Manifest &m)>;

// A package of the two files; the manifest's digests are computed here. Each signer's
// signature of the manifest goes in as its own member (signature_member_name), in order. Every
// member is stamped with `dos_time` (zip_archive.h).
base::Result<std::vector<uint8_t>> write_package(Manifest m, const std::vector<uint8_t> &image,
                                                 const std::vector<uint8_t> &tts,
                                                 const std::vector<ManifestSigner> &signers = {},
                                                 uint32_t dos_time = 0x210000 /* 1980-01-01 */);

// The package with one more signature member, every other member's bytes and name as they were
// and in their order, the new member stamped as the manifest is. Refused (InvalidInput) when the
// archive is not a readable package or already holds a member of the new one's name.
base::Result<std::vector<uint8_t>> add_signature(const uint8_t *data, size_t size,
                                                 const MadeSignature &signature,
                                                 uint64_t member_limit);

}  // namespace formats
