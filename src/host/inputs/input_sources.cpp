#include "host/inputs/input_sources.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "formats/sha256.h"
#include "globals/iap_globals.h"

namespace host {

namespace {

// A HEX file is about 2.8 times the data it carries, an S-record file about 3 times; a file
// larger than this cannot fit the image buffer in any of the formats.
constexpr uint64_t kFormattedFileLimit = 4ull * IMG_FILE_BUF_SIZE;
// A package holds two such files and its manifest, compressed or not.
constexpr uint64_t kPackageFileLimit = 2 * kFormattedFileLimit + (1u << 20);

// Reads at most `limit` bytes of the file; "" or the reason it cannot be read.
std::string read_whole(const std::string &path, uint64_t limit, std::vector<uint8_t> &out) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return "it is a directory, not a file";
    }
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return std::strerror(errno);
    }
    out.clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0 && out.size() <= limit) {
        out.insert(out.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        return std::strerror(errno);
    }
    if (out.size() > limit) {
        return "it is larger than the limit of " + std::to_string(limit) + " bytes";
    }
    return "";
}

// The first bytes of a file, enough to recognise its format; empty when it cannot be read.
std::vector<uint8_t> peek(const std::string &path) {
    std::vector<uint8_t> head(4096);
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return {};
    }
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
    return head;
}

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
void lay_raw(SourceLoad &s, const std::vector<uint8_t> &bytes, uint8_t *buf, uint32_t capacity) {
    std::memset(buf, 0xFF, capacity);
    if (bytes.empty()) {
        s.refusal = "it is empty";
        return;
    }
    if (bytes.size() > capacity) {
        s.refusal = "it is " + std::to_string(bytes.size()) + " bytes, larger than the limit of " +
                    std::to_string(capacity) + " bytes";
        return;
    }
    std::memcpy(buf, bytes.data(), bytes.size());
    s.length = static_cast<uint32_t>(bytes.size());
    s.facts.data_bytes = bytes.size();
    s.spans.push_back({0, bytes.size()});
}

// A HEX, S-record or ELF file laid into its buffer. The TTS file's addresses are flash
// addresses when they start at or above the TTS address, else offsets into the TTS data.
void lay_formatted(SourceLoad &s, InputRole role, formats::Format format,
                   const std::vector<uint8_t> &bytes, uint32_t tts_addr) {
    const formats::ParsedFile parsed = formats::parse_file(bytes.data(), bytes.size(), format);
    if (!parsed.ok()) {
        s.refusal = parsed.error;
        return;
    }
    uint8_t *buf = role == InputRole::Image ? img_file : tts_file;
    const uint32_t capacity = role == InputRole::Image ? IMG_FILE_BUF_SIZE : TTS_FILE_BUF_SIZE;
    uint64_t base = 0;
    if (role == InputRole::Tts && formats::lowest_address(parsed) >= tts_addr) {
        base = tts_addr;
    }
    formats::Laid laid = formats::lay_out(parsed, base, buf, capacity);
    s.notes = std::move(laid.notes);
    if (!laid.ok()) {
        s.refusal = laid.error;
        return;
    }
    s.length = laid.end;
    s.facts.data_bytes = laid.data_bytes;
    s.spans = std::move(laid.spans);
}

}  // namespace

std::string describe_inputs(const std::vector<InputFacts> &facts) {
    std::string text;
    for (const InputFacts &f : facts) {
        text += "  " + f.role + " '" + f.name + "' (" + f.format + ", " +
                std::to_string(f.file_bytes) + " bytes";
        if (f.role != "package") {
            text += ", " + std::to_string(f.data_bytes) + " bytes of data";
        }
        text += "): SHA-256 " + f.sha256 + "\n";
    }
    return text;
}

bool file_looks_like_zip(const std::string &path) {
    const std::vector<uint8_t> head = peek(path);
    return formats::looks_like_zip(head.data(), head.size());
}

bool read_package_file(const std::string &path, PackageInputs &out,
                       const std::vector<TrustedKey> &trusted) {
    std::vector<uint8_t> archive;
    if (const std::string why = read_whole(path, kPackageFileLimit, archive); !why.empty()) {
        std::fprintf(stderr, "hidiap: cannot read package '%s': %s\n", path.c_str(), why.c_str());
        out.refusal = "cannot read package: " + why;
        return false;
    }
    formats::Package package =
        formats::read_package(archive.data(), archive.size(), kFormattedFileLimit);
    out.refusal = judge_package(package, trusted, out.signature);
    if (!out.refusal.empty()) {
        std::fprintf(stderr, "hidiap: package '%s' refused: %s; nothing was sent\n", path.c_str(),
                     out.refusal.c_str());
        return false;
    }
    out.path = path;
    out.facts.role = "package";
    out.facts.name = path;
    out.facts.format = "zip";
    out.facts.sha256 = formats::sha256_hex(archive.data(), archive.size());
    out.facts.file_bytes = archive.size();
    out.manifest = std::move(package.manifest);
    out.image = std::move(package.image);
    out.tts = std::move(package.tts);
    return true;
}

SourceLoad load_source(InputRole role, const std::string &path, const std::vector<uint8_t> *bytes,
                       const std::string &forced_format, uint32_t tts_addr) {
    SourceLoad s;
    const bool image = role == InputRole::Image;
    formats::Format format = formats::Format::Raw;
    if (!forced_format.empty()) {
        formats::parse_format_name(forced_format, format);
    } else {
        const std::vector<uint8_t> head = bytes != nullptr ? std::vector<uint8_t>() : peek(path);
        const std::vector<uint8_t> &content = bytes != nullptr ? *bytes : head;
        format = formats::detect_format(content.data(), content.size());
        // Only an image can be an ELF file; a TTS file that starts like one is raw data.
        if (!image && format == formats::Format::Elf) {
            format = formats::Format::Raw;
        }
    }
    const char *role_name = image ? "image" : "TTS";
    if (bytes == nullptr && format == formats::Format::Raw) {
        s.legacy = true;
        s.legacy_length = image ? read_img_file(path.c_str(), &s.legacy_result)
                                : read_tts_file(path.c_str(), &s.legacy_result);
        const uint8_t *buf = image ? img_file : tts_file;
        s.facts.role = role_name;
        s.facts.name = path;
        s.facts.format = "raw";
        s.facts.sha256 = formats::sha256_hex(buf, static_cast<size_t>(s.legacy_length));
        s.facts.file_bytes = static_cast<uint64_t>(s.legacy_length);
        s.facts.data_bytes = s.facts.file_bytes;
        s.length = static_cast<uint32_t>(s.legacy_length);
        if (s.legacy_length > 0) {
            s.spans.push_back({0, static_cast<uint64_t>(s.legacy_length)});
        }
        return s;
    }
    std::vector<uint8_t> read;
    if (bytes == nullptr) {
        if (const std::string why = read_whole(path, kFormattedFileLimit, read); !why.empty()) {
            s.refusal = why;
            return s;
        }
        bytes = &read;
    }
    s.facts = facts_of(role_name, path, format, *bytes);
    if (format == formats::Format::Raw) {
        lay_raw(s, *bytes, image ? img_file : tts_file,
                image ? IMG_FILE_BUF_SIZE : TTS_FILE_BUF_SIZE);
    } else {
        lay_formatted(s, role, format, *bytes, tts_addr);
    }
    return s;
}

std::string product_refusal(const std::string &wanted, const std::string &device_product) {
    if (wanted.empty() || wanted == device_product) {
        return "";
    }
    return "the package is for the product '" + wanted + "', the device says it is '" +
           device_product + "'; it was not updated";
}

}  // namespace host
