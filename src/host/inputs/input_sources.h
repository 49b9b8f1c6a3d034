// The input files as users hand them over: raw, Intel HEX, S-record or ELF, on disk or inside a
// firmware package; each laid into its buffer and described by its checksum.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/firmware_package.h"
#include "formats/image_formats.h"
#include "host/inputs/input_files.h"
#include "host/inputs/package_trust.h"

namespace host {

// One input as --dry-run, the JSON events and the records show it.
struct InputFacts {
    std::string role;    // "image", "TTS" or "package"
    std::string name;    // the path, or the member's name inside the package
    std::string format;  // raw, ihex, srec, elf; zip for the package
    std::string sha256;  // of the file as given
    uint64_t file_bytes = 0;
    uint64_t data_bytes = 0;  // bytes laid into the buffer (the package: none of its own)
};

// The inputs as lines of text, as --dry-run prints them after the plan.
std::string describe_inputs(const std::vector<InputFacts> &facts);

struct PackageInputs {
    std::string path;
    InputFacts facts;
    formats::Manifest manifest;
    SignatureFacts signature;
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
};

// Reads a firmware package and checks its manifest, both checksums and its signatures against
// the keys. Refused after saying on standard error why; the refusal's message is the reason
// that line gives ("unsigned: it has no signature ...").
base::Status read_package_file(const std::string &path, PackageInputs &out,
                               const PackageKeys &keys = {});
// The same for a package's bytes already in memory; `name` stands for its path in what is said
// and in its facts.
base::Status read_package_bytes(const std::string &name, const uint8_t *data, size_t size,
                                PackageInputs &out, const PackageKeys &keys = {});

// Whether the file at path begins as a zip archive does.
bool file_looks_like_zip(const std::string &path);

// Why a device whose product string is `device_product` must not be updated with firmware for
// the product `wanted` (a package's manifest), or "" when it may (no product named, or the same).
std::string product_refusal(const std::string &wanted, const std::string &device_product);

enum class InputRole { Image, Tts };

// One input loaded into its buffer.
struct SourceLoad {
    uint32_t length = 0;  // the equivalent raw file's length: the end of its last data byte
    InputFacts facts;
    std::vector<std::string> notes;    // for standard error
    std::vector<formats::Span> spans;  // buffer offsets that received data
};

// Loads the image or the TTS file, from `path`, or from `bytes` (a package member named by
// path) when given. forced_format: "" to recognise the format from the content. tts_addr: where
// the token puts the TTS data, which tells flash addresses from offsets in a TTS file. A raw
// file on disk goes the way raw files always went (read_img_file / read_tts_file), with the same
// lines; an empty one is refused with NotFound, as one that cannot be opened, since for both the
// tool says "not found". Every refusal is the sentence standard error gives, without "hidiap: ".
base::Result<SourceLoad> load_source(InputRole role, const std::string &path,
                                     const std::vector<uint8_t> *bytes,
                                     const std::string &forced_format, uint32_t tts_addr);

}  // namespace host
