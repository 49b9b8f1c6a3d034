#include "formats/firmware_package.h"

#include <unzip.h>
#include <zip.h>

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>

#include "formats/sha256.h"

namespace formats {

namespace {

// A signature file is four short lines; anything much larger is not one.
constexpr uint64_t kSignatureLimit = 4096;

// minizip reads and writes through these callbacks, here over memory, so that the package is
// checked as the bytes that were hashed and nothing touches the disk.
struct MemoryStream {
    const uint8_t *in = nullptr;
    size_t size = 0;
    std::vector<uint8_t> *out = nullptr;
    size_t pos = 0;
};

voidpf memory_open(voidpf opaque, const void *, int) {
    static_cast<MemoryStream *>(opaque)->pos = 0;
    return opaque;
}

uLong memory_read(voidpf, voidpf stream, void *buf, uLong size) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    const size_t left = m.pos < m.size ? m.size - m.pos : 0;
    const size_t n = size < left ? size : left;
    if (n > 0)
        std::memcpy(buf, m.in + m.pos, n);
    m.pos += n;
    return static_cast<uLong>(n);
}

uLong memory_write(voidpf, voidpf stream, const void *buf, uLong size) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    if (m.out == nullptr)
        return 0;
    if (m.out->size() < m.pos + size)
        m.out->resize(m.pos + size);
    std::memcpy(m.out->data() + m.pos, buf, size);
    m.pos += size;
    return size;
}

ZPOS64_T memory_tell(voidpf, voidpf stream) {
    return static_cast<MemoryStream *>(stream)->pos;
}

long memory_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    const size_t size = m.out != nullptr ? m.out->size() : m.size;
    uint64_t from = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        from = m.pos;
    if (origin == ZLIB_FILEFUNC_SEEK_END)
        from = size;
    if (offset > size || from + offset > size)
        return -1;
    m.pos = static_cast<size_t>(from + offset);
    return 0;
}

int memory_close(voidpf, voidpf) {
    return 0;
}

int memory_error(voidpf, voidpf) {
    return 0;
}

zlib_filefunc64_def memory_functions(MemoryStream &m) {
    zlib_filefunc64_def f;
    f.zopen64_file = memory_open;
    f.zread_file = memory_read;
    f.zwrite_file = memory_write;
    f.ztell64_file = memory_tell;
    f.zseek64_file = memory_seek;
    f.zclose_file = memory_close;
    f.zerror_file = memory_error;
    f.opaque = &m;
    return f;
}

// One member, whole; "" or the reason it could not be read.
std::string extract(unzFile zip, const std::string &name, uint64_t limit,
                    std::vector<uint8_t> &out) {
    if (unzLocateFile(zip, name.c_str(), 1) != UNZ_OK) {
        return "the archive has no member '" + name + "'";
    }
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return "the entry of '" + name + "' is damaged";
    }
    if (info.uncompressed_size > limit) {
        return "member '" + name + "' is " + std::to_string(info.uncompressed_size) +
               " bytes, larger than the limit of " + std::to_string(limit) + " bytes";
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        return "member '" + name + "' cannot be opened (encrypted or an unknown compression)";
    }
    out.clear();
    uint8_t chunk[16384];
    int got;
    // The header's size is only a claim: the data itself is held to the limit too.
    while ((got = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0 && out.size() <= limit) {
        out.insert(out.end(), chunk, chunk + got);
    }
    const int closed = unzCloseCurrentFile(zip);  // checks the member's CRC-32
    if (out.size() > limit) {
        return "member '" + name + "' holds more than the limit of " + std::to_string(limit) +
               " bytes";
    }
    if (got < 0 || closed != UNZ_OK) {
        return "member '" + name +
               "' is damaged (its data does not decompress or its CRC-32 "
               "does not match)";
    }
    return "";
}

bool parse_id(const nlohmann::json &v, uint16_t &out) {
    if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFF) {
        out = static_cast<uint16_t>(v.get<uint64_t>());
        return true;
    }
    if (!v.is_string())
        return false;
    std::string s = v.get<std::string>();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
    }
    out = static_cast<uint16_t>(value);
    return true;
}

bool is_sha256_hex(const std::string &s) {
    if (s.size() != 64)
        return false;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) ||
            std::isupper(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// Reads the manifest; "" or the reason it is not usable.
std::string parse_manifest(const std::vector<uint8_t> &text, Manifest &m) {
    const nlohmann::json j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return std::string(kManifestName) + " is not a JSON object";
    }
    if (!j.contains("format") || !j["format"].is_number_unsigned()) {
        return std::string(kManifestName) + " has no format version (\"format\": 1)";
    }
    if (j["format"].get<uint64_t>() != static_cast<uint64_t>(kPackageFormat)) {
        return std::string(kManifestName) + " is of format " +
               std::to_string(j["format"].get<uint64_t>()) + "; this hidiap reads format " +
               std::to_string(kPackageFormat);
    }
    for (const char *file : {"image", "tts"}) {
        const auto it = j.find(file);
        if (it == j.end() || !it->is_object() || !it->contains("name") ||
            !(*it)["name"].is_string() || !it->contains("sha256") || !(*it)["sha256"].is_string() ||
            !is_sha256_hex((*it)["sha256"].get<std::string>())) {
            return std::string(kManifestName) + ": \"" + file +
                   "\" must be an object with \"name\" and \"sha256\" (64 lower-case hex digits)";
        }
    }
    m.image_name = j["image"]["name"].get<std::string>();
    m.image_sha256 = j["image"]["sha256"].get<std::string>();
    m.tts_name = j["tts"]["name"].get<std::string>();
    m.tts_sha256 = j["tts"]["sha256"].get<std::string>();
    if (!j.contains("token") || !j["token"].is_string() || j["token"].get<std::string>().empty()) {
        return std::string(kManifestName) + " has no \"token\"";
    }
    m.token = j["token"].get<std::string>();
    for (auto [key, field] :
         {std::pair<const char *, std::string *>{"firmware_version", &m.firmware_version},
          {"product", &m.product}}) {
        if (j.contains(key)) {
            if (!j[key].is_string())
                return std::string(kManifestName) + ": \"" + key + "\" must be text";
            *field = j[key].get<std::string>();
        }
    }
    const bool vid = j.contains("vendor_id");
    const bool pid = j.contains("product_id");
    if (vid != pid) {
        return std::string(kManifestName) +
               " gives one of vendor_id and product_id without the other";
    }
    if (vid) {
        if (!parse_id(j["vendor_id"], m.vendor_id) || !parse_id(j["product_id"], m.product_id)) {
            return std::string(kManifestName) +
                   ": vendor_id and product_id are hex IDs from 0 to ffff";
        }
        m.has_ids = true;
    }
    for (const std::string *name : {&m.image_name, &m.tts_name}) {
        if (const std::string why = refuse_member_name(*name); !why.empty()) {
            return std::string(kManifestName) + ": the name '" + *name + "' " + why;
        }
    }
    return "";
}

std::string check_digest(const std::string &name, const std::vector<uint8_t> &bytes,
                         const std::string &expected) {
    const std::string actual = sha256_hex(bytes.data(), bytes.size());
    if (actual == expected)
        return "";
    return "member '" + name + "' has SHA-256 " + actual + " but the manifest gives " + expected +
           ": the package was changed or damaged";
}

std::string id_text(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

}  // namespace

bool looks_like_zip(const uint8_t *data, size_t size) {
    return size >= 4 && std::memcmp(data, "PK\x03\x04", 4) == 0;
}

std::string refuse_member_name(const std::string &name) {
    if (name.empty())
        return "is empty";
    if (name[0] == '/' || (name.size() >= 2 && name[1] == ':')) {
        return "is absolute; names in the package are plain names inside the archive";
    }
    if (name.find('\\') != std::string::npos)
        return "holds a backslash";
    if (name.find('\0') != std::string::npos)
        return "holds a NUL character";
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = name.find('/', start);
        const size_t end = slash == std::string::npos ? name.size() : slash;
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            return "holds '..'; names in the package are plain names inside the archive";
        }
        start = end + 1;
    }
    return "";
}

Package read_package(const uint8_t *data, size_t size, uint64_t member_limit) {
    Package p;
    MemoryStream stream;
    stream.in = data;
    stream.size = size;
    zlib_filefunc64_def functions = memory_functions(stream);
    unzFile zip = unzOpen2_64("package", &functions);
    if (zip == nullptr) {
        p.error = "not a readable zip archive";
        return p;
    }
    p.error = extract(zip, kManifestName, 1 << 20, p.manifest_text);
    if (p.ok() && unzLocateFile(zip, kSignatureName, 1) == UNZ_OK) {
        // A signature member that cannot be read still says the package was meant to be signed.
        p.signed_package = true;
        std::vector<uint8_t> signature;
        p.error = extract(zip, kSignatureName, kSignatureLimit, signature);
        if (p.ok())
            p.signature_text.assign(signature.begin(), signature.end());
    }
    if (p.ok())
        p.error = parse_manifest(p.manifest_text, p.manifest);
    if (p.ok())
        p.error = extract(zip, p.manifest.image_name, member_limit, p.image);
    if (p.ok())
        p.error = extract(zip, p.manifest.tts_name, member_limit, p.tts);
    unzClose(zip);
    const bool digests_read = p.ok();
    if (p.ok())
        p.error = check_digest(p.manifest.image_name, p.image, p.manifest.image_sha256);
    if (p.ok())
        p.error = check_digest(p.manifest.tts_name, p.tts, p.manifest.tts_sha256);
    p.member_changed = !p.ok() && digests_read;
    return p;
}

std::string manifest_json(const Manifest &m) {
    nlohmann::ordered_json j = {{"format", m.format},
                                {"image", {{"name", m.image_name}, {"sha256", m.image_sha256}}},
                                {"tts", {{"name", m.tts_name}, {"sha256", m.tts_sha256}}},
                                {"token", m.token}};
    if (!m.firmware_version.empty())
        j["firmware_version"] = m.firmware_version;
    if (m.has_ids) {
        j["vendor_id"] = id_text(m.vendor_id);
        j["product_id"] = id_text(m.product_id);
    }
    if (!m.product.empty())
        j["product"] = m.product;
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string write_package(Manifest m, const std::vector<uint8_t> &image,
                          const std::vector<uint8_t> &tts, std::vector<uint8_t> &out,
                          const ManifestSigner &signer) {
    for (const std::string *name : {&m.image_name, &m.tts_name}) {
        if (const std::string why = refuse_member_name(*name); !why.empty()) {
            return "the name '" + *name + "' " + why;
        }
    }
    if (m.image_name == m.tts_name || m.image_name == kManifestName ||
        m.tts_name == kManifestName || m.image_name == kSignatureName ||
        m.tts_name == kSignatureName) {
        return "the image, the TTS file and the manifest need three different names";
    }
    m.format = kPackageFormat;
    m.image_sha256 = sha256_hex(image.data(), image.size());
    m.tts_sha256 = sha256_hex(tts.data(), tts.size());
    const std::string manifest = manifest_json(m);
    std::string signature;
    if (signer) {
        if (const std::string why = signer(manifest, m, signature); !why.empty())
            return why;
    }
    out.clear();
    MemoryStream stream;
    stream.out = &out;
    zlib_filefunc64_def functions = memory_functions(stream);
    zipFile zip = zipOpen2_64("package", APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr)
        return "the archive could not be started";
    bool ok = true;
    auto add = [&](const std::string &name, const uint8_t *bytes, size_t n) {
        // A fixed date keeps the package of the same files the same bytes.
        zip_fileinfo info{};
        info.tmz_date.tm_year = 1980;
        info.tmz_date.tm_mday = 1;
        ok = ok &&
             zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   Z_DEFLATED, Z_BEST_COMPRESSION, n >= 0xFFFFFFFFu) == ZIP_OK &&
             zipWriteInFileInZip(zip, bytes, static_cast<unsigned>(n)) == ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
    };
    add(kManifestName, reinterpret_cast<const uint8_t *>(manifest.data()), manifest.size());
    add(m.image_name, image.data(), image.size());
    add(m.tts_name, tts.data(), tts.size());
    if (signer) {
        add(kSignatureName, reinterpret_cast<const uint8_t *>(signature.data()), signature.size());
    }
    ok = zipClose(zip, nullptr) == ZIP_OK && ok;
    return ok ? "" : "the archive could not be written";
}

}  // namespace formats
