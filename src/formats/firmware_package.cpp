#include "formats/firmware_package.h"

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "base/text.h"
#include "formats/sha256.h"
#include "formats/shown_text.h"
#include "formats/zip_archive.h"

namespace formats {

namespace {

using base::Error;
using base::ErrorCode;
using Json = nlohmann::json;

// A signature file is four short lines; anything much larger is not one.
constexpr uint64_t kSignatureLimit = 4096;
// A manifest is a few hundred bytes.
constexpr uint64_t kManifestLimit = 1 << 20;

Error refused(std::string why) {
    return Error(ErrorCode::InvalidInput, std::move(why));
}

// A member's name as messages quote it.
std::string quoted(const std::string &name) {
    return "'" + shown(name) + "'";
}

std::optional<uint16_t> parse_id(const Json &v) {
    if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFF) {
        return static_cast<uint16_t>(v.get<uint64_t>());
    }
    if (!v.is_string())
        return std::nullopt;
    std::string s = v.get<std::string>();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 4)
        return std::nullopt;
    unsigned value = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, c), nullptr, 16));
    }
    return static_cast<uint16_t>(value);
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

// A first look at the manifest's text, before it is read as a document: the document keeps the
// last of two equal keys and says nothing of them, and its parse errors say only that there was
// one. This finds a key given twice in one object, and the reason and place of a parse error.
class ManifestScan : public Json::json_sax_t {
  public:
    std::string duplicate;       // the first key given twice, as a path ("image.name")
    std::string syntax_error;    // the reason and place of a parse error
    std::string unknown_format;  // the text of a top-level "format" that did not parse

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t &) override { return value(); }
    bool string(string_t &) override { return value(); }
    bool binary(binary_t &) override { return value(); }
    bool start_object(std::size_t) override {
        const std::string path = path_of_value();
        value();
        objects_.push_back({path, {}, ""});
        return true;
    }
    bool key(string_t &key) override {
        Object &o = objects_.back();
        o.pending_key = key;
        if (!o.keys.insert(key).second) {
            duplicate = o.path.empty() ? key : o.path + "." + key;
            return false;
        }
        return true;
    }
    bool end_object() override {
        objects_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        value();
        objects_.push_back({"", {}, ""});  // an array's members have no keys to repeat
        return true;
    }
    bool end_array() override {
        objects_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string &last_token,
                     const nlohmann::detail::exception &ex) override {
        if (objects_.size() == 1 && objects_.front().pending_key == "format") {
            unknown_format = last_token;
        }
        std::string what = ex.what();
        // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
        const size_t bracket = what.find("] ");
        syntax_error = bracket == std::string::npos ? what : what.substr(bracket + 2);
        return false;
    }

  private:
    struct Object {
        std::string path;
        std::set<std::string> keys;
        std::string pending_key;  // the key whose value comes next
    };
    bool value() {
        if (!objects_.empty())
            objects_.back().pending_key.clear();
        return true;
    }
    std::string path_of_value() const {
        if (objects_.empty() || objects_.back().pending_key.empty())
            return "";
        const Object &o = objects_.back();
        return o.path.empty() ? o.pending_key : o.path + "." + o.pending_key;
    }
    std::vector<Object> objects_;
};

std::string unknown_format(const std::string &given) {
    return std::string(kManifestName) + ": its \"format\" " + shown(given) +
           " is not a format this hidiap knows; this hidiap reads format " +
           std::to_string(kPackageFormat);
}

base::Result<Manifest> parse_manifest(const std::vector<uint8_t> &text) {
    const std::string name = kManifestName;
    ManifestScan scan;
    Json::sax_parse(text.begin(), text.end(), &scan);
    if (!scan.duplicate.empty()) {
        return refused(name + " gives \"" + shown(scan.duplicate) +
                       "\" twice; readers of it could take either");
    }
    if (!scan.unknown_format.empty()) {
        return refused(unknown_format(scan.unknown_format));
    }
    const Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return refused(name + " is not a JSON object" +
                       (scan.syntax_error.empty() ? "" : " (" + shown(scan.syntax_error) + ")"));
    }
    if (!j.contains("format")) {
        return refused(name + " has no format version (\"format\": 1)");
    }
    if (!j["format"].is_number_unsigned()) {
        return refused(unknown_format(j["format"].dump()));
    }
    if (j["format"].get<uint64_t>() != static_cast<uint64_t>(kPackageFormat)) {
        return refused(name + " is of format " + std::to_string(j["format"].get<uint64_t>()) +
                       "; this hidiap reads format " + std::to_string(kPackageFormat));
    }
    for (const char *file : {"image", "tts"}) {
        const auto it = j.find(file);
        if (it == j.end() || !it->is_object() || !it->contains("name") ||
            !(*it)["name"].is_string() || !it->contains("sha256") || !(*it)["sha256"].is_string() ||
            !is_sha256_hex((*it)["sha256"].get<std::string>())) {
            return refused(name + ": \"" + file +
                           "\" must be an object with \"name\" and \"sha256\" (64 lower-case hex "
                           "digits)");
        }
    }
    Manifest m;
    m.image_name = j["image"]["name"].get<std::string>();
    m.image_sha256 = j["image"]["sha256"].get<std::string>();
    m.tts_name = j["tts"]["name"].get<std::string>();
    m.tts_sha256 = j["tts"]["sha256"].get<std::string>();
    if (!j.contains("token") || !j["token"].is_string() || j["token"].get<std::string>().empty()) {
        return refused(name + " has no \"token\"");
    }
    m.token = j["token"].get<std::string>();
    if (j.contains("security_counter")) {
        if (!j["security_counter"].is_number_unsigned()) {
            return refused(name + ": \"security_counter\" must be a non-negative integer");
        }
        m.has_security_counter = true;
        m.security_counter = j["security_counter"].get<uint64_t>();
    }
    for (auto [key, field] :
         {std::pair<const char *, std::string *>{"firmware_version", &m.firmware_version},
          {"product", &m.product}}) {
        if (j.contains(key)) {
            if (!j[key].is_string())
                return refused(name + ": \"" + key + "\" must be text");
            *field = j[key].get<std::string>();
        }
    }
    const bool vid = j.contains("vendor_id");
    const bool pid = j.contains("product_id");
    if (vid != pid) {
        return refused(name + " gives one of vendor_id and product_id without the other");
    }
    if (vid) {
        const std::optional<uint16_t> vendor = parse_id(j["vendor_id"]);
        const std::optional<uint16_t> product = parse_id(j["product_id"]);
        if (!vendor || !product) {
            return refused(name + ": vendor_id and product_id are hex IDs from 0 to ffff");
        }
        m.has_ids = true;
        m.vendor_id = *vendor;
        m.product_id = *product;
    }
    if (j.contains("unit_fields")) {
        if (!j["unit_fields"].is_array()) {
            return refused(name + ": \"unit_fields\" must be an array of NAME=ADDRESS:ENCODING");
        }
        for (const nlohmann::json &f : j["unit_fields"]) {
            base::Result<UnitField> field =
                f.is_string() ? parse_unit_field(f.get<std::string>())
                              : base::Result<UnitField>(base::Error(base::ErrorCode::InvalidInput,
                                                                    "an item is not text"));
            if (!field.ok()) {
                return refused(name + ": \"unit_fields\": " + field.message());
            }
            m.unit_fields.push_back(*field);
        }
    }
    for (const std::string *member : {&m.image_name, &m.tts_name}) {
        if (const base::Status plain = check_member_name(*member); !plain.ok()) {
            return refused(name + ": the name " + quoted(*member) + " " + plain.message());
        }
    }
    return m;
}

base::Status check_digest(const std::string &name, const std::vector<uint8_t> &bytes,
                          const std::string &expected) {
    const std::string actual = sha256_hex(bytes.data(), bytes.size());
    if (actual == expected)
        return {};
    return Error(ErrorCode::Corrupt, "member " + quoted(name) + " has SHA-256 " + actual +
                                         " but the manifest gives " + expected +
                                         ": the package was changed or damaged");
}

std::string id_text(uint16_t id) {
    return base::format("0x%04x", id);
}

// The manifest and signature members of an open archive.
base::Result<SignedManifest> read_stored(const ZipReader &archive) {
    if (base::Status readable = archive.check(); !readable.ok()) {
        return readable.error();
    }
    base::Result<std::vector<uint8_t>> text = archive.extract(kManifestName, kManifestLimit);
    if (!text.ok()) {
        return text.error();
    }
    SignedManifest stored;
    stored.text = std::move(*text);
    std::vector<std::string> others;
    for (const std::string &member : archive.names()) {
        if (member == kSignatureName) {
            stored.signatures.insert(stored.signatures.begin(), SignatureMember{member, false, ""});
        } else if (is_signature_name(member)) {
            stored.signatures.push_back({member, false, ""});
        }
    }
    if (stored.signatures.size() > kSignatureMemberLimit) {
        return refused("the archive holds " + std::to_string(stored.signatures.size()) +
                       " signature members; more than " + std::to_string(kSignatureMemberLimit) +
                       " are not read");
    }
    for (SignatureMember &sig : stored.signatures) {
        base::Result<std::vector<uint8_t>> bytes = archive.extract(sig.name, kSignatureLimit);
        if (bytes.ok()) {
            sig.read = true;
            sig.text.assign(bytes->begin(), bytes->end());
        }
    }
    stored.signed_package = !stored.signatures.empty();
    if (stored.signed_package) {
        stored.signature_text = stored.signatures.front().text;
    }
    return stored;
}

}  // namespace

std::string signature_member_name(bool first, const std::string &key_id) {
    return first ? std::string(kSignatureName)
                 : std::string(kManifestName) + "." + key_id + ".minisig";
}

bool is_signature_name(const std::string &name) {
    const std::string head = std::string(kManifestName) + ".";
    const std::string tail = ".minisig";
    return name == kSignatureName ||
           (name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
            name.compare(name.size() - tail.size(), tail.size(), tail) == 0);
}

uint32_t dos_time_of(int64_t unix_seconds) {
    constexpr int64_t k1980 = 315532800;  // 1980-01-01T00:00:00Z
    constexpr int64_t kEnd = 4354819199;  // 2107-12-31T23:59:59Z
    const int64_t t = unix_seconds < k1980 ? k1980 : unix_seconds > kEnd ? kEnd : unix_seconds;
    int64_t days = t / 86400;
    const int64_t secs = t % 86400;
    // Days since 1970 to a civil date (Howard Hinnant's algorithm).
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | month << 5 | day);
    const uint32_t time =
        static_cast<uint32_t>((secs / 3600) << 11 | (secs / 60 % 60) << 5 | (secs % 60) / 2);
    return date << 16 | time;
}

bool looks_like_zip(const uint8_t *data, size_t size) {
    return size >= 4 && std::memcmp(data, "PK\x03\x04", 4) == 0;
}

base::Status check_member_name(const std::string &name) {
    if (name.empty())
        return refused("is empty");
    if (name[0] == '/' || (name.size() >= 2 && name[1] == ':')) {
        return refused("is absolute; names in the package are plain names inside the archive");
    }
    if (name.find('\\') != std::string::npos)
        return refused("holds a backslash");
    if (name.find('\0') != std::string::npos)
        return refused("holds a NUL character");
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = name.find('/', start);
        const size_t end = slash == std::string::npos ? name.size() : slash;
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
            return refused("holds '..'; names in the package are plain names inside the archive");
        }
        start = end + 1;
    }
    return {};
}

base::Result<SignedManifest> read_signed_manifest(const uint8_t *data, size_t size) {
    const ZipReader archive(data, size);
    return read_stored(archive);
}

base::Result<Package> read_package(const uint8_t *data, size_t size, uint64_t member_limit) {
    const ZipReader archive(data, size);
    base::Result<SignedManifest> stored = read_stored(archive);
    if (!stored.ok()) {
        return stored.error();
    }
    Package p;
    p.stored = std::move(*stored);
    for (const SignatureMember &sig : p.stored.signatures) {
        if (!sig.read) {
            return archive.extract(sig.name, kSignatureLimit).error();
        }
    }
    base::Result<Manifest> manifest = parse_manifest(p.stored.text);
    if (!manifest.ok()) {
        return manifest.error();
    }
    p.manifest = std::move(*manifest);
    for (auto [name, out] :
         {std::pair<const std::string *, std::vector<uint8_t> *>{&p.manifest.image_name, &p.image},
          {&p.manifest.tts_name, &p.tts}}) {
        base::Result<std::vector<uint8_t>> member = archive.extract(*name, member_limit);
        if (!member.ok()) {
            return member.error();
        }
        *out = std::move(*member);
    }
    if (base::Status good = check_digest(p.manifest.image_name, p.image, p.manifest.image_sha256);
        !good.ok()) {
        return good.error();
    }
    if (base::Status good = check_digest(p.manifest.tts_name, p.tts, p.manifest.tts_sha256);
        !good.ok()) {
        return good.error();
    }
    return p;
}

std::string manifest_json(const Manifest &m) {
    nlohmann::ordered_json j = {{"format", m.format},
                                {"image", {{"name", m.image_name}, {"sha256", m.image_sha256}}},
                                {"tts", {{"name", m.tts_name}, {"sha256", m.tts_sha256}}},
                                {"token", m.token}};
    if (!m.firmware_version.empty())
        j["firmware_version"] = m.firmware_version;
    if (m.has_security_counter)
        j["security_counter"] = m.security_counter;
    if (m.has_ids) {
        j["vendor_id"] = id_text(m.vendor_id);
        j["product_id"] = id_text(m.product_id);
    }
    if (!m.product.empty())
        j["product"] = m.product;
    if (!m.unit_fields.empty()) {
        j["unit_fields"] = nlohmann::ordered_json::array();
        for (const UnitField &f : m.unit_fields) {
            j["unit_fields"].push_back(unit_field_text(f));
        }
    }
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

base::Result<std::vector<uint8_t>> write_package(Manifest m, const std::vector<uint8_t> &image,
                                                 const std::vector<uint8_t> &tts,
                                                 const std::vector<ManifestSigner> &signers,
                                                 uint32_t dos_time) {
    for (const std::string *name : {&m.image_name, &m.tts_name}) {
        if (const base::Status plain = check_member_name(*name); !plain.ok()) {
            return refused("the name " + quoted(*name) + " " + plain.message());
        }
    }
    if (m.image_name == m.tts_name || m.image_name == kManifestName ||
        m.tts_name == kManifestName || is_signature_name(m.image_name) ||
        is_signature_name(m.tts_name)) {
        return refused("the image, the TTS file and the manifest need three different names");
    }
    m.format = kPackageFormat;
    m.image_sha256 = sha256_hex(image.data(), image.size());
    m.tts_sha256 = sha256_hex(tts.data(), tts.size());
    const std::string manifest = manifest_json(m);
    std::vector<std::pair<std::string, std::string>> signatures;
    for (const ManifestSigner &signer : signers) {
        base::Result<MadeSignature> made = signer(manifest, m);
        if (!made.ok())
            return made.error();
        const std::string name = signature_member_name(signatures.empty(), made->key_id);
        for (const auto &earlier : signatures) {
            if (earlier.first == name) {
                return refused("the key ID " + made->key_id + " signs it twice");
            }
        }
        signatures.emplace_back(name, std::move(made->text));
    }
    std::vector<std::pair<std::string, std::string_view>> members = {
        {kManifestName, manifest},
        {m.image_name, {reinterpret_cast<const char *>(image.data()), image.size()}},
        {m.tts_name, {reinterpret_cast<const char *>(tts.data()), tts.size()}}};
    for (const auto &[name, text] : signatures) {
        members.emplace_back(name, text);
    }
    return zip_of(members, dos_time);
}

base::Result<std::vector<uint8_t>> add_signature(const uint8_t *data, size_t size,
                                                 const MadeSignature &signature,
                                                 uint64_t member_limit) {
    const ZipReader archive(data, size);
    base::Result<SignedManifest> stored = read_stored(archive);
    if (!stored.ok()) {
        return stored.error();
    }
    const std::string name = signature_member_name(stored->signatures.empty(), signature.key_id);
    const std::vector<std::string> names = archive.names();
    std::vector<std::vector<uint8_t>> bytes;
    for (const std::string &member : names) {
        if (member == name) {
            return refused("it holds " + quoted(name) + " already: the key ID " + signature.key_id +
                           " signed it before");
        }
        base::Result<std::vector<uint8_t>> taken = archive.extract(member, member_limit);
        if (!taken.ok()) {
            return taken.error();
        }
        bytes.push_back(std::move(*taken));
    }
    std::vector<std::pair<std::string, std::string_view>> members;
    for (size_t i = 0; i < names.size(); i++) {
        members.emplace_back(
            names[i],
            std::string_view(reinterpret_cast<const char *>(bytes[i].data()), bytes[i].size()));
    }
    members.emplace_back(name, signature.text);
    const uint32_t stamped = archive.dos_time(kManifestName);
    return zip_of(members, stamped != 0 ? stamped : kFixedDosTime);
}

}  // namespace formats
