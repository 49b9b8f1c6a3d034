#include "host/inputs/input_sources.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "formats/sha256.h"
#include "formats/shown_text.h"
#include "globals/iap_globals.h"
#include "host/inputs/file_reading.h"
#include "host/platform/error_lines.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;
using formats::shown;

// A HEX file is about 2.8 times the data it carries, an S-record file about 3 times; a file
// larger than this cannot fit the image buffer in any of the formats.
constexpr uint64_t kFormattedFileLimit = 4ull * IMG_FILE_BUF_SIZE;
// A package holds two such files and its manifest, compressed or not.
constexpr uint64_t kPackageFileLimit = 2 * kFormattedFileLimit + (1u << 20);
// Enough of a file to recognise its format by.
constexpr size_t kHeadBytes = 4096;

InputFacts facts_of(const char *role, const std::string &name, formats::Format format,
                    const std::vector<uint8_t> &bytes) {
    InputFacts facts;
    facts.role = role;
    facts.name = name;
    facts.format = formats::format_name(format);
    facts.sha256 = formats::sha256_hex(bytes.data(), bytes.size());
    facts.file_bytes = bytes.size();
    return facts;
}

// A raw member of a package: the bytes at the buffer's start, as a raw file on disk would be.
base::Status lay_raw(SourceLoad &s, const std::vector<uint8_t> &bytes, uint8_t *buf,
                     uint32_t capacity) {
    std::memset(buf, 0xFF, capacity);
    if (bytes.empty()) {
        return Error(ErrorCode::InvalidInput, "it is empty");
    }
    if (bytes.size() > capacity) {
        return Error(ErrorCode::InvalidInput, "it is " + std::to_string(bytes.size()) +
                                                  " bytes, larger than the limit of " +
                                                  std::to_string(capacity) + " bytes");
    }
    std::memcpy(buf, bytes.data(), bytes.size());
    s.length = static_cast<uint32_t>(bytes.size());
    s.facts.data_bytes = bytes.size();
    s.spans.push_back({0, bytes.size()});
    return {};
}

// A HEX, S-record or ELF file laid into its buffer. The TTS file's addresses are flash
// addresses when they start at or above the TTS address, else offsets into the TTS data.
base::Status lay_formatted(SourceLoad &s, InputRole role, formats::Format format,
                           const std::vector<uint8_t> &bytes, uint32_t tts_addr) {
    const base::Result<formats::ParsedFile> parsed =
        formats::parse_file(bytes.data(), bytes.size(), format);
    if (!parsed.ok()) {
        return parsed.error();
    }
    uint8_t *buf = role == InputRole::Image ? img_file : tts_file;
    const uint32_t capacity = role == InputRole::Image ? IMG_FILE_BUF_SIZE : TTS_FILE_BUF_SIZE;
    uint64_t base = 0;
    if (role == InputRole::Tts && formats::lowest_address(*parsed) >= tts_addr) {
        base = tts_addr;
    }
    base::Result<formats::Laid> laid = formats::lay_out(*parsed, base, buf, capacity);
    if (!laid.ok()) {
        return laid.error();
    }
    s.notes = std::move(laid->notes);
    s.length = laid->end;
    s.facts.data_bytes = laid->data_bytes;
    s.spans = std::move(laid->spans);
    return {};
}

// The refusal of a file in a format: the file, its format, the line or segment, the reason, and
// for a format that was only recognised, how to have it taken as raw data.
Error refusal_of(const char *what, const std::string &path, formats::Format format,
                 const std::string &forced_format, const Error &why) {
    std::string hint;
    if (forced_format.empty() && format != formats::Format::Raw) {
        hint = std::string("; if it is raw data, ") +
               (std::string(what) == "image" ? "--format" : "--tts-format") +
               " raw takes it as such";
    }
    return Error(why.code(),
                 base::format("%s file '%s' (%s): %s%s", what, shown(path).c_str(),
                              formats::format_title(format), why.message().c_str(), hint.c_str()));
}

}  // namespace

std::string describe_inputs(const std::vector<InputFacts> &facts) {
    std::string text;
    for (const InputFacts &f : facts) {
        text += "  " + f.role + " '" + shown(f.name) + "' (" + f.format + ", " +
                std::to_string(f.file_bytes) + " bytes";
        if (f.role != "package") {
            text += ", " + std::to_string(f.data_bytes) + " bytes of data";
        }
        text += "): SHA-256 " + f.sha256 + "\n";
    }
    return text;
}

bool file_looks_like_zip(const std::string &path) {
    const std::vector<uint8_t> head = read_head(path, kHeadBytes);
    return formats::looks_like_zip(head.data(), head.size());
}

base::Status read_package_file(const std::string &path, PackageInputs &out,
                               const PackageKeys &keys) {
    const base::Result<std::vector<uint8_t>> archive = read_whole(path, kPackageFileLimit);
    if (!archive.ok()) {
        error_printf("hidiap: cannot read package '%s': %s\n", shown(path).c_str(),
                     archive.message().c_str());
        return Error(archive.code(), "cannot read package: " + archive.message());
    }
    return read_package_bytes(path, archive->data(), archive->size(), out, keys);
}

base::Status read_package_bytes(const std::string &name, const uint8_t *data, size_t size,
                                PackageInputs &out, const PackageKeys &keys) {
    // The limit a package file is read with holds for one handed over in memory too.
    if (size > kPackageFileLimit) {
        const std::string why =
            base::format("it is %zu bytes, larger than the limit of %llu bytes", size,
                         static_cast<unsigned long long>(kPackageFileLimit));
        error_printf("hidiap: cannot read package '%s': %s\n", shown(name).c_str(), why.c_str());
        return Error(ErrorCode::InvalidInput, "cannot read package: " + why);
    }
    const base::Result<formats::SignedManifest> stored = formats::read_signed_manifest(data, size);
    base::Result<formats::Package> package = formats::read_package(data, size, kFormattedFileLimit);
    const base::Status judged = judge_package(stored, package, keys, out.signature);
    if (!judged.ok()) {
        error_printf("hidiap: package '%s' refused: %s; nothing was sent\n", shown(name).c_str(),
                     judged.message().c_str());
        return judged;
    }
    out.path = name;
    out.facts.role = "package";
    out.facts.name = name;
    out.facts.format = "zip";
    out.facts.sha256 = formats::sha256_hex(data, size);
    out.facts.file_bytes = size;
    out.manifest = std::move(package->manifest);
    out.image = std::move(package->image);
    out.tts = std::move(package->tts);
    return {};
}

base::Result<SourceLoad> load_source(InputRole role, const std::string &path,
                                     const std::vector<uint8_t> *bytes,
                                     const std::string &forced_format, uint32_t tts_addr) {
    SourceLoad s;
    const bool image = role == InputRole::Image;
    formats::Format format = formats::Format::Raw;
    if (!forced_format.empty()) {
        format = formats::parse_format_name(forced_format).value_or(formats::Format::Raw);
    } else {
        const std::vector<uint8_t> head =
            bytes != nullptr ? std::vector<uint8_t>() : read_head(path, kHeadBytes);
        const std::vector<uint8_t> &content = bytes != nullptr ? *bytes : head;
        format = formats::detect_format(content.data(), content.size());
        // Only an image can be an ELF file; a TTS file that starts like one is raw data.
        if (!image && format == formats::Format::Elf) {
            format = formats::Format::Raw;
        }
    }
    const char *role_name = image ? "image" : "TTS";
    if (bytes == nullptr && format == formats::Format::Raw) {
        const base::Result<uint32_t> read =
            image ? read_img_file(path.c_str()) : read_tts_file(path.c_str());
        if (!read.ok()) {
            return read.error();
        }
        if (*read == 0) {
            return Error(ErrorCode::NotFound,
                         base::format("%s file '%s' is empty", role_name, shown(path).c_str()));
        }
        const uint8_t *buf = image ? img_file : tts_file;
        s.facts.role = role_name;
        s.facts.name = path;
        s.facts.format = "raw";
        s.facts.sha256 = formats::sha256_hex(buf, *read);
        s.facts.file_bytes = *read;
        s.facts.data_bytes = s.facts.file_bytes;
        s.length = *read;
        s.spans.push_back({0, *read});
        return s;
    }
    std::vector<uint8_t> read;
    if (bytes == nullptr) {
        base::Result<std::vector<uint8_t>> whole = read_whole(path, kFormattedFileLimit);
        if (!whole.ok()) {
            // It was there a moment ago, when its format was recognised.
            return Error(ErrorCode::Io, base::format("%s file '%s': %s", role_name,
                                                     shown(path).c_str(), whole.message().c_str()));
        }
        read = std::move(*whole);
        bytes = &read;
    }
    s.facts = facts_of(role_name, path, format, *bytes);
    const base::Status laid = format == formats::Format::Raw
                                  ? lay_raw(s, *bytes, image ? img_file : tts_file,
                                            image ? IMG_FILE_BUF_SIZE : TTS_FILE_BUF_SIZE)
                                  : lay_formatted(s, role, format, *bytes, tts_addr);
    if (!laid.ok()) {
        return refusal_of(role_name, path, format, forced_format, laid.error());
    }
    return s;
}

std::string product_refusal(const std::string &wanted, const std::string &device_product) {
    if (wanted.empty() || wanted == device_product) {
        return "";
    }
    return "the package is for the product '" + shown(wanted) + "', the device says it is '" +
           shown(device_product) + "'; it was not updated";
}

}  // namespace host
