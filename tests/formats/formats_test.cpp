// The format readers on files made by binutils from raw data, on damaged files, and the firmware
// package on archives made by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "expected_layout.h"
#include "formats/firmware_package.h"
#include "formats/image_formats.h"
#include "formats/sha256.h"
#include "formats/shown_text.h"
#include "formats/unit_field.h"
#include "zip_members.h"

namespace fs = std::filesystem;
using formats::Format;
using test_support::bytes_of;
using test_support::random_bytes;

namespace {

constexpr uint32_t kCapacity = 0x1FC000;  // the image buffer

class Converted : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("hidiap_formats_test_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return (dir / name).string(); }
    void write(const std::string &name, const std::vector<uint8_t> &bytes) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> read(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    void sh(const std::string &command) const {
        ASSERT_EQ(std::system(("cd '" + dir.string() + "' && " + command).c_str()), 0) << command;
    }
    // Links the raw files (name, address) into an ELF executable, each at its own address.
    void link(const std::string &elf, const std::vector<std::pair<std::string, uint32_t>> &parts) {
        std::string script = "SECTIONS {\n";
        std::string objects;
        for (size_t i = 0; i < parts.size(); i++) {
            const std::string o = parts[i].first + ".o";
            sh("ld -r -b binary " + parts[i].first + " -o " + o);
            script += "  .s" + std::to_string(i) + " " + std::to_string(parts[i].second) + " : { " +
                      o + "(.data) }\n";
            objects += " " + o;
        }
        write("link.ld", bytes_of(script + "}\n"));
        sh("ld -T link.ld" + objects + " -o " + elf);
    }

    fs::path dir;
};

struct Loaded {
    formats::ParsedFile parsed;
    formats::Laid laid;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kCapacity);
};

base::Result<Loaded> load(const std::vector<uint8_t> &file, Format format) {
    base::Result<formats::ParsedFile> parsed =
        formats::parse_file(file.data(), file.size(), format);
    if (!parsed.ok()) {
        return parsed.error();
    }
    Loaded l;
    l.parsed = std::move(*parsed);
    base::Result<formats::Laid> laid = formats::lay_out(l.parsed, 0, l.buffer.data(), kCapacity);
    if (!laid.ok()) {
        return laid.error();
    }
    l.laid = std::move(*laid);
    return l;
}

std::string error_of(const std::string &text, Format format) {
    const base::Result<Loaded> l = load(bytes_of(text), format);
    return l.ok() ? "" : l.message();
}

}  // namespace

TEST_F(Converted, HexSrecAndElfMadeByBinutilsLayOutAsTheRawDataWithGaps) {
    const std::vector<uint8_t> app = random_bytes(7232, 1);
    const std::vector<uint8_t> cal = random_bytes(3000, 2);
    const std::vector<uint8_t> ram = random_bytes(64, 3);
    write("app.bin", app);
    write("cal.bin", cal);
    write("ram.bin", ram);
    link("fw.elf", {{"app.bin", 0x8000}, {"cal.bin", 0x10000}, {"ram.bin", 0x20000000}});
    sh("objcopy -R .s2 -O ihex fw.elf fw.hex && objcopy -R .s2 -O srec fw.elf fw.srec");
    std::vector<uint8_t> expected(kCapacity, 0xFF);
    std::copy(app.begin(), app.end(), expected.begin() + 0x8000);
    std::copy(cal.begin(), cal.end(), expected.begin() + 0x10000);

    for (const auto &[name, format] : {std::pair<const char *, Format>{"fw.elf", Format::Elf},
                                       {"fw.hex", Format::IntelHex},
                                       {"fw.srec", Format::SRecord}}) {
        const std::vector<uint8_t> file = read(name);
        EXPECT_EQ(formats::detect_format(file.data(), file.size()), format) << name;
        const base::Result<Loaded> loaded = load(file, format);
        ASSERT_TRUE(loaded.ok()) << name << ": " << loaded.message();
        const Loaded &l = *loaded;
        EXPECT_TRUE(l.buffer == expected) << name;
        ASSERT_EQ(l.laid.spans.size(), 2u) << name;
        EXPECT_EQ(l.laid.spans[0].begin, 0x8000u);
        EXPECT_EQ(l.laid.spans[1].end, 0x10000u + 3000);
        EXPECT_EQ(l.laid.end, 0x10000u + 3000);
        EXPECT_EQ(l.laid.data_bytes, app.size() + cal.size());
        // The RAM segment of the ELF file is left out, and said so.
        ASSERT_EQ(l.laid.notes.size(), format == Format::Elf ? 1u : 0u) << name;
        if (format == Format::Elf) {
            EXPECT_NE(l.laid.notes[0].find("0x20000000"), std::string::npos) << l.laid.notes[0];
        }
    }
}

TEST_F(Converted, ARawImageConvertedWholeComesBackByteForByte) {
    const std::vector<uint8_t> raw = random_bytes(70000, 4);
    write("raw.bin", raw);
    sh("objcopy -I binary -O ihex raw.bin raw.hex && objcopy -I binary -O srec raw.bin raw.srec");
    for (const auto &[name, format] : {std::pair<const char *, Format>{"raw.hex", Format::IntelHex},
                                       {"raw.srec", Format::SRecord}}) {
        const base::Result<Loaded> loaded = load(read(name), format);
        ASSERT_TRUE(loaded.ok()) << name << loaded.message();
        const Loaded &l = *loaded;
        EXPECT_EQ(l.laid.end, raw.size()) << name;
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), l.buffer.begin())) << name;
        EXPECT_EQ(l.buffer[raw.size()], 0xFF) << name;
    }
}

TEST_F(Converted, ElfSegmentsPartlyOutsideTheBufferOrNoneInsideAreRefused) {
    write("a.bin", random_bytes(512, 5));
    link("edge.elf", {{"a.bin", kCapacity - 256}});
    link("ramonly.elf", {{"a.bin", 0x20000000}});
    EXPECT_NE(load(read("edge.elf"), Format::Elf).message().find("lies partly outside"),
              std::string::npos);
    EXPECT_NE(load(read("ramonly.elf"), Format::Elf).message().find("no loadable data"),
              std::string::npos);
    std::vector<uint8_t> cut = read("edge.elf");
    cut.resize(80);
    EXPECT_NE(load(cut, Format::Elf).message().find("program header table is truncated"),
              std::string::npos);
}

TEST(FormatReaders, DamagedFilesAreRefusedWithTheLineAndTheReason) {
    const struct {
        const char *text;
        Format format;
        const char *error;
    } cases[] = {
        {":0100000000FE\n:00000001FF\n", Format::IntelHex, "line 1: bad checksum 0xFE"},
        {":0100000000FF\n", Format::IntelHex, "without an end-of-file record"},
        {":0100000000FF\n:0100\n:00000001FF\n", Format::IntelHex, "line 2: not a well-formed"},
        {":0200000000FE\n:00000001FF\n", Format::IntelHex, "line 1: the record announces 2"},
        {":00000006FA\n:00000001FF\n", Format::IntelHex, "line 1: unknown record type 06"},
        {":00000001FF\n:0100000000FF\n", Format::IntelHex, "line 2: text after the end-of-file"},
        {":0100000000FF\n:0100000001FE\n:00000001FF\n", Format::IntelHex,
         "line 2: the byte at 0x000000 is 0x01 here but 0x00"},
        {":020000040020DA\n:0100000000FF\n:00000001FF\n", Format::IntelHex,
         "line 2: data at 0x200000-0x200001 lies outside 0x000000-0x1FC000"},
        {":0000000000\n:00000001FF\n", Format::IntelHex, "no data records"},
        {"S104000000FA\nS9030000FC\n", Format::SRecord, "line 1: bad checksum 0xFA"},
        {"S104000000FB\n", Format::SRecord, "without a termination record"},
        {"S104000000FB\nS5030002FA\nS9030000FC\n", Format::SRecord,
         "line 2: the count record says 2 data records, the file has 1"},
        {"S404000000FB\nS9030000FC\n", Format::SRecord, "line 1: S4 is a reserved record type"},
        {"S104000000FB\nS9030000FC\nS104000000FB\n", Format::SRecord, "line 3: text after"},
        {"S10400\n", Format::SRecord, "line 1: the record announces 4 bytes but holds 1"},
        {"\x7F"
         "ELF\x03\x01padding.....",
         Format::Elf, "unknown ELF class"},
        {"\x7F"
         "ELF\x01",
         Format::Elf, "the ELF header is truncated"},
    };
    for (const auto &c : cases) {
        EXPECT_NE(error_of(c.text, c.format).find(c.error), std::string::npos)
            << c.text << " gave: " << error_of(c.text, c.format);
    }
    // Records that repeat the same bytes agree; blank lines and CR LF line ends are fine.
    EXPECT_EQ(error_of(":0100000000FF\r\n\r\n:0100000000FF\r\n:00000001FF\r\n", Format::IntelHex),
              "");
    EXPECT_EQ(error_of("S00600004844521B\nS104000000FB\nS5030001FB\nS9030000FC", Format::SRecord),
              "");
}

TEST(FormatReaders, TheFormatIsRecognisedFromTheFirstLineOnly) {
    const std::pair<const char *, Format> cases[] = {
        {":100000000102030405060708090A0B0C0D0E0F1068\n", Format::IntelHex},
        {"S00600004844521B\r\n", Format::SRecord},
        {"\x7F"
         "ELF",
         Format::Elf},
        {":not hex\n:00000001FF\n", Format::Raw},
        {"Some text\n:00000001FF\n", Format::Raw},
        {"S", Format::Raw},
        {"", Format::Raw},
    };
    for (const auto &[text, format] : cases) {
        const std::string s = text;
        EXPECT_EQ(formats::detect_format(reinterpret_cast<const uint8_t *>(s.data()), s.size()),
                  format)
            << text;
    }
}

// Editors and tools leave a byte-order mark, blank lines or spaces before the first record; the
// file is still the text format it is (its lines counted as they stand), while a raw binary that
// starts with white space stays raw.
TEST(FormatReaders, WhiteSpaceAndAByteOrderMarkBeforeTheFirstRecordAreOfTheText) {
    const std::string hex = ":0100000000FF\n:00000001FF\n";
    const std::string srec = "S104000000FB\nS9030000FC\n";
    for (const std::string lead :
         {"\n", "\r\n", "\r\n\r\n", "  ", " \t\n ", "\xEF\xBB\xBF", "\xEF\xBB\xBF\r\n"}) {
        for (const auto &[text, format] :
             {std::pair<std::string, Format>{hex, Format::IntelHex}, {srec, Format::SRecord}}) {
            const std::string file = lead + text;
            EXPECT_EQ(
                formats::detect_format(reinterpret_cast<const uint8_t *>(file.data()), file.size()),
                format)
                << file;
            EXPECT_EQ(error_of(file, format), "") << file;
        }
    }
    EXPECT_NE(
        error_of("\xEF\xBB\xBF\n\n:0100000000FE\n", Format::IntelHex).find("line 3: bad checksum"),
        std::string::npos);
    std::vector<uint8_t> raw = bytes_of("\r\n  \xEF\xBB\xBF");
    const std::vector<uint8_t> noise = random_bytes(4096, 40);
    raw.insert(raw.end(), noise.begin(), noise.end());
    EXPECT_EQ(formats::detect_format(raw.data(), raw.size()), Format::Raw);
    raw.erase(raw.begin(), raw.begin() + 4);  // the mark first, then binary data
    EXPECT_EQ(formats::detect_format(raw.data(), raw.size()), Format::Raw);
}

namespace {

// An ELF32 little-endian executable of one PT_LOAD segment of `data` at `paddr`.
std::vector<uint8_t> elf_of(const std::vector<uint8_t> &data, uint32_t paddr, uint32_t memsz) {
    std::vector<uint8_t> f(52 + 32 + data.size());
    const auto put = [&f](size_t at, uint32_t v, unsigned bytes) {
        for (unsigned i = 0; i < bytes; i++)
            f[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    f[0] = 0x7F, f[1] = 'E', f[2] = 'L', f[3] = 'F', f[4] = 1, f[5] = 1, f[6] = 1;
    put(16, 2, 2);   // ET_EXEC
    put(28, 52, 4);  // e_phoff
    put(42, 32, 2);  // e_phentsize
    put(44, 1, 2);   // e_phnum
    put(52, 1, 4);   // PT_LOAD
    put(56, 84, 4);  // p_offset
    put(60, paddr, 4);
    put(64, paddr, 4);
    put(68, static_cast<uint32_t>(data.size()), 4);
    put(72, memsz, 4);
    std::copy(data.begin(), data.end(), f.begin() + 84);
    return f;
}

}  // namespace

TEST(FormatReaders, AnElfSegmentWithMoreBytesInTheFileThanInMemoryIsRefused) {
    const std::vector<uint8_t> data = random_bytes(600, 41);
    const std::vector<uint8_t> good = elf_of(data, 0x8000, 0x1000);
    EXPECT_TRUE(load(good, Format::Elf).ok()) << "a segment with room to spare is read";
    const base::Result<Loaded> bad = load(elf_of(data, 0x8000, 599), Format::Elf);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.message(),
              "program header 0: its 600 bytes in the file are more than its 599 bytes in memory");
}

TEST(Sha256, MatchesTheStandardTestVectors) {
    EXPECT_EQ(formats::sha256_hex(reinterpret_cast<const uint8_t *>("abc"), 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(formats::sha256_hex(nullptr, 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

namespace {

formats::Manifest manifest_for(const std::vector<uint8_t> &image, const std::vector<uint8_t> &tts) {
    formats::Manifest m;
    m.image_name = "fw.hex";
    m.tts_name = "tts.bin";
    m.token = "1MB";
    m.image_sha256 = formats::sha256_hex(image.data(), image.size());
    m.tts_sha256 = formats::sha256_hex(tts.data(), tts.size());
    return m;
}

std::string package_error(const std::vector<test_support::ZipMember> &members,
                          uint64_t limit = kCapacity) {
    const std::string scratch =
        (fs::temp_directory_path() / ("hidiap_zip_" + std::to_string(getpid()) + ".zip")).string();
    const std::vector<uint8_t> zip = test_support::zip_of(members, scratch);
    const base::Result<formats::Package> p = formats::read_package(zip.data(), zip.size(), limit);
    return p.ok() ? "" : p.message();
}

}  // namespace

TEST(FirmwarePackage, WrittenThenReadGivesTheFilesAndTheManifestBack) {
    const std::vector<uint8_t> image = random_bytes(50000, 6);
    const std::vector<uint8_t> tts = random_bytes(1000, 7);
    formats::Manifest m = manifest_for(image, tts);
    m.firmware_version = "2.1.0";
    m.product = "Simulated IAP device";
    m.has_ids = true;
    m.vendor_id = 0x9999;
    m.product_id = 0x8888;
    const base::Result<std::vector<uint8_t>> zip = formats::write_package(m, image, tts);
    ASSERT_TRUE(zip.ok()) << zip.message();
    const base::Result<formats::Package> p =
        formats::read_package(zip->data(), zip->size(), kCapacity);
    ASSERT_TRUE(p.ok()) << p.message();
    EXPECT_TRUE(p->image == image);
    EXPECT_TRUE(p->tts == tts);
    EXPECT_EQ(formats::manifest_json(p->manifest), formats::manifest_json(m));
    // The same files give the same package, byte for byte.
    EXPECT_TRUE(formats::write_package(m, image, tts).value() == *zip);
}

TEST(FirmwarePackage, ChangedMembersUnsafeNamesAndOversizeMembersAreRefused) {
    const std::vector<uint8_t> image = bytes_of(":0100000000FF\n:00000001FF\n");
    const std::vector<uint8_t> tts = random_bytes(100, 8);
    const formats::Manifest m = manifest_for(image, tts);
    const std::vector<uint8_t> manifest = bytes_of(formats::manifest_json(m));
    std::vector<uint8_t> changed_image = image;
    changed_image[5] ^= 1;
    std::vector<uint8_t> changed_tts = tts;
    changed_tts[99] ^= 0x80;

    ASSERT_EQ(package_error({{"package.json", manifest}, {"fw.hex", image}, {"tts.bin", tts}}), "");
    for (const auto &[name, members] :
         {std::pair<std::string, std::vector<test_support::ZipMember>>{
              "fw.hex", {{"package.json", manifest}, {"fw.hex", changed_image}, {"tts.bin", tts}}},
          {"tts.bin", {{"package.json", manifest}, {"fw.hex", image}, {"tts.bin", changed_tts}}}}) {
        const std::string error = package_error(members);
        const std::vector<uint8_t> &bytes = members[name == "fw.hex" ? 1 : 2].second;
        EXPECT_NE(error.find("member '" + name + "'"), std::string::npos) << error;
        EXPECT_NE(error.find(formats::sha256_hex(bytes.data(), bytes.size())), std::string::npos);
        EXPECT_NE(error.find(name == "fw.hex" ? m.image_sha256 : m.tts_sha256), std::string::npos);
    }

    const std::pair<std::string, const char *> names[] = {{"../fw.hex", "holds '..'"},
                                                          {"fw/../../x", "holds '..'"},
                                                          {"/etc/fw.hex", "is absolute"},
                                                          {"C:fw.hex", "is absolute"},
                                                          {"fw\\x", "backslash"}};
    for (const auto &[name, why] : names) {
        formats::Manifest bad = m;
        bad.image_name = name;
        const std::string error =
            package_error({{"package.json", bytes_of(formats::manifest_json(bad))},
                           {name, image},
                           {"tts.bin", tts}});
        EXPECT_NE(error.find(why), std::string::npos) << name << ": " << error;
    }
    EXPECT_NE(
        package_error({{"package.json", manifest}, {"fw.hex", image}}).find("no member 'tts.bin'"),
        std::string::npos);
    EXPECT_NE(package_error({{"package.json", manifest}, {"fw.hex", image}, {"tts.bin", tts}}, 50)
                  .find("member 'tts.bin' is 100 bytes, larger than the limit of 50 bytes"),
              std::string::npos);
    std::string newer = formats::manifest_json(m);
    newer.replace(newer.find("\"format\": 1"), 11, "\"format\": 2");
    EXPECT_NE(
        package_error({{"package.json", bytes_of(newer)}, {"fw.hex", image}, {"tts.bin", tts}})
            .find("format 2; this hidiap reads format 1"),
        std::string::npos);
    EXPECT_NE(package_error({{"fw.hex", image}}).find("no member 'package.json'"),
              std::string::npos);
}

TEST(FirmwarePackage, ASignedPackageKeepsTheSignedManifestBytesAndTellsAChangedMemberApart) {
    const std::vector<uint8_t> image = random_bytes(5000, 9);
    const std::vector<uint8_t> tts = random_bytes(100, 10);
    std::string seen;
    const formats::ManifestSigner signer =
        [&](const std::string &manifest,
            const formats::Manifest &) -> base::Result<formats::MadeSignature> {
        seen = manifest;
        return formats::MadeSignature{"0123456789ABCDEF", "signature of the manifest\n"};
    };
    const base::Result<std::vector<uint8_t>> zip =
        formats::write_package(manifest_for(image, tts), image, tts, {signer});
    ASSERT_TRUE(zip.ok()) << zip.message();
    const base::Result<formats::Package> p =
        formats::read_package(zip->data(), zip->size(), kCapacity);
    ASSERT_TRUE(p.ok()) << p.message();
    EXPECT_TRUE(p->stored.signed_package);
    EXPECT_EQ(p->stored.signature_text, "signature of the manifest\n");
    EXPECT_EQ(std::string(p->stored.text.begin(), p->stored.text.end()), seen);

    // A changed member leaves the manifest to be checked against its signature first.
    const std::vector<uint8_t> manifest = bytes_of(seen);
    std::vector<uint8_t> changed = image;
    changed[0] ^= 1;
    const std::string scratch =
        (fs::temp_directory_path() / ("hidiap_zip_" + std::to_string(getpid()) + ".zip")).string();
    const std::vector<uint8_t> bad = test_support::zip_of(
        {{"package.json", manifest}, {"fw.hex", changed}, {"tts.bin", tts}}, scratch);
    const base::Result<formats::Package> q =
        formats::read_package(bad.data(), bad.size(), kCapacity);
    ASSERT_FALSE(q.ok());
    EXPECT_EQ(q.code(), base::ErrorCode::Corrupt) << q.message();
    const base::Result<formats::SignedManifest> q_stored =
        formats::read_signed_manifest(bad.data(), bad.size());
    ASSERT_TRUE(q_stored.ok()) << q_stored.message();
    EXPECT_FALSE(q_stored->signed_package);
    EXPECT_TRUE(q_stored->text == manifest);
    // A signature member too large to be one still marks the package as signed.
    const std::vector<uint8_t> huge =
        test_support::zip_of({{"package.json", manifest},
                              {"fw.hex", image},
                              {"tts.bin", tts},
                              {"package.json.minisig", random_bytes(5000, 11)}},
                             scratch);
    const base::Result<formats::Package> r =
        formats::read_package(huge.data(), huge.size(), kCapacity);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.code(), base::ErrorCode::Corrupt);
    EXPECT_NE(r.message().find("package.json.minisig"), std::string::npos) << r.message();
    const base::Result<formats::SignedManifest> r_stored =
        formats::read_signed_manifest(huge.data(), huge.size());
    ASSERT_TRUE(r_stored.ok()) << r_stored.message();
    EXPECT_TRUE(r_stored->signed_package);
    EXPECT_EQ(r_stored->signature_text, "");
}

namespace {

// Rewrites the 16-bit field at `field` of the local header (local=true) or central directory
// entry of the member `name`: the archives a zip tool other than hidiap's could leave.
void patch_member(std::vector<uint8_t> &zip, const std::string &name, bool local, size_t field,
                  uint16_t value) {
    const uint8_t signature[4] = {'P', 'K', static_cast<uint8_t>(local ? 3 : 1),
                                  static_cast<uint8_t>(local ? 4 : 2)};
    const size_t name_at = local ? 30 : 46;
    const size_t length_at = local ? 26 : 28;
    for (size_t at = 0; at + name_at + name.size() <= zip.size(); at++) {
        if (std::equal(signature, signature + 4, zip.begin() + at) &&
            static_cast<size_t>(zip[at + length_at] | zip[at + length_at + 1] << 8) ==
                name.size() &&
            std::equal(name.begin(), name.end(), zip.begin() + at + name_at)) {
            zip[at + field] = static_cast<uint8_t>(value);
            zip[at + field + 1] = static_cast<uint8_t>(value >> 8);
            return;
        }
    }
    ADD_FAILURE() << "no member " << name;
}

}  // namespace

// What the archive holds must mean one thing to every reader, and a refusal must say what is
// wrong: a compression this reader lacks, a local header that names another file, a name or key
// given twice, a format that is no number it knows, a NUL in a name.
TEST(FirmwarePackage, ArchivesThatReadersCouldTakeDifferentlyAreRefusedSayingWhy) {
    const std::vector<uint8_t> image = bytes_of(":0100000000FF\n:00000001FF\n");
    const std::vector<uint8_t> tts = random_bytes(100, 42);
    const formats::Manifest m = manifest_for(image, tts);
    const std::string manifest = formats::manifest_json(m);
    const std::string scratch =
        (fs::temp_directory_path() / ("hidiap_zip_" + std::to_string(getpid()) + ".zip")).string();
    const auto good = [&] {
        return test_support::zip_of(
            {{"package.json", bytes_of(manifest)}, {"fw.hex", image}, {"tts.bin", tts}}, scratch);
    };
    const auto refusal = [](const std::vector<uint8_t> &zip) {
        const base::Result<formats::Package> p =
            formats::read_package(zip.data(), zip.size(), kCapacity);
        return p.ok() ? std::string() : p.message();
    };
    std::vector<uint8_t> bzip2 = good();
    patch_member(bzip2, "tts.bin", true, 8, 12);
    patch_member(bzip2, "tts.bin", false, 10, 12);
    EXPECT_EQ(formats::read_package(bzip2.data(), bzip2.size(), kCapacity).code(),
              base::ErrorCode::Unsupported);
    EXPECT_NE(refusal(bzip2).find("member 'tts.bin' is compressed with method 12 (bzip2), which "
                                  "this hidiap does not read"),
              std::string::npos)
        << refusal(bzip2);
    // The local header of fw.hex names fw.hey: a reader that walks the local headers sees
    // another file than one that goes by the list.
    std::vector<uint8_t> renamed = good();
    for (size_t at = 0; at + 36 <= renamed.size(); at++) {
        if (std::equal(renamed.begin() + at, renamed.begin() + at + 4, "PK\x03\x04") &&
            std::equal(renamed.begin() + at + 30, renamed.begin() + at + 36, "fw.hex")) {
            renamed[at + 35] = 'y';
        }
    }
    EXPECT_NE(refusal(renamed).find("member 'fw.hex' is named 'fw.hey' in its local header"),
              std::string::npos)
        << refusal(renamed);
    std::vector<uint8_t> longer = good();
    patch_member(longer, "fw.hex", true, 26, 7);
    EXPECT_NE(refusal(longer).find("member 'fw.hex': its local header does not match its entry"),
              std::string::npos)
        << refusal(longer);
    const std::vector<uint8_t> twice = test_support::zip_of({{"package.json", bytes_of(manifest)},
                                                             {"fw.hex", image},
                                                             {"tts.bin", tts},
                                                             {"fw.hex", bytes_of(":00000001FF\n")}},
                                                            scratch);
    EXPECT_NE(refusal(twice).find("the archive holds two members named 'fw.hex'"),
              std::string::npos)
        << refusal(twice);

    const auto manifest_refusal = [&](const std::string &text) {
        return refusal(test_support::zip_of(
            {{"package.json", bytes_of(text)}, {"fw.hex", image}, {"tts.bin", tts}}, scratch));
    };
    std::string token_twice = manifest;
    token_twice.replace(token_twice.find("\"token\""), 0, "\"token\": \"2MB\", ");
    EXPECT_NE(manifest_refusal(token_twice).find("package.json gives \"token\" twice"),
              std::string::npos)
        << manifest_refusal(token_twice);
    std::string name_twice = manifest;
    name_twice.replace(name_twice.find("\"name\": \"tts.bin\""), 0, "\"name\": \"fw.hex\", ");
    EXPECT_NE(manifest_refusal(name_twice).find("package.json gives \"tts.name\" twice"),
              std::string::npos)
        << manifest_refusal(name_twice);
    for (const char *format : {"1e400", "1.5", "-1", "\"1\""}) {
        std::string odd = manifest;
        odd.replace(odd.find("\"format\": 1"), 11, std::string("\"format\": ") + format);
        EXPECT_NE(manifest_refusal(odd).find(std::string("package.json: its \"format\" ") + format +
                                             " is not a format this hidiap knows; this hidiap "
                                             "reads format 1"),
                  std::string::npos)
            << manifest_refusal(odd);
    }
    EXPECT_NE(manifest_refusal("{\"format\": 1,").find("package.json is not a JSON object ("),
              std::string::npos);
    std::string nul = manifest;
    nul.replace(nul.find("\"fw.hex\""), 8, "\"fw\\u0000\\u001b[2J.hex\"");
    const std::string why = manifest_refusal(nul);
    EXPECT_NE(why.find("package.json: the name 'fw\\x00\\x1B[2J.hex' holds a NUL character"),
              std::string::npos)
        << why;
}

TEST(ShownText, ControlCharactersAreEscapedAndTheRestKept) {
    EXPECT_EQ(formats::shown("a\x1b]0;title\x07 b\tc\nd\x7f"),
              "a\\x1B]0;title\\x07 b\tc\\x0Ad\\x7F");
    EXPECT_EQ(formats::shown(std::string("x\0y", 3)), "x\\x00y");
    EXPECT_EQ(formats::shown("\xC2\x9B"
                             "2J caf\xC3\xA9 \xC2\xA0"),
              "\\xC2\\x9B2J caf\xC3\xA9 \xC2\xA0");
}

TEST(FirmwarePackage, ASignatureAddedLaterGivesThePackageThatBothSignersWouldHaveMade) {
    const std::vector<uint8_t> image = random_bytes(5000, 9);
    const std::vector<uint8_t> tts = random_bytes(100, 10);
    const auto by = [](const char *id) -> formats::ManifestSigner {
        return [id](const std::string &, const formats::Manifest &) {
            return base::Result<formats::MadeSignature>(
                formats::MadeSignature{id, std::string("signed by ") + id + "\n"});
        };
    };
    const formats::Manifest m = manifest_for(image, tts);
    const std::vector<uint8_t> one = formats::write_package(m, image, tts, {by("AAAA")}).value();
    const std::vector<uint8_t> both =
        formats::write_package(m, image, tts, {by("AAAA"), by("BBBB")}).value();
    const base::Result<std::vector<uint8_t>> added =
        formats::add_signature(one.data(), one.size(), {"BBBB", "signed by BBBB\n"}, kCapacity);
    ASSERT_TRUE(added.ok()) << added.message();
    // Every member as it was, in its place, and the new one after them.
    EXPECT_TRUE(*added == both);
    const base::Result<formats::Package> p =
        formats::read_package(added->data(), added->size(), kCapacity);
    ASSERT_TRUE(p.ok()) << p.message();
    ASSERT_EQ(p->stored.signatures.size(), 2u);
    EXPECT_EQ(p->stored.signatures[0].name, "package.json.minisig");
    EXPECT_EQ(p->stored.signatures[1].name, "package.json.BBBB.minisig");
    EXPECT_EQ(p->stored.signatures[1].text, "signed by BBBB\n");
    // A key signs once; one signature member too many is refused.
    EXPECT_FALSE(
        formats::add_signature(added->data(), added->size(), {"BBBB", "again\n"}, kCapacity).ok());
    EXPECT_FALSE(formats::write_package(m, image, tts, {by("AAAA"), by("AAAA"), by("AAAA")}).ok());

    // The entries' date is the one given (SOURCE_DATE_EPOCH), the same for every member.
    const uint32_t dated = formats::dos_time_of(1765324800);  // 2025-12-10T00:00:00Z
    EXPECT_EQ(dated, (45u << 25 | 12u << 21 | 10u << 16));
    EXPECT_EQ(formats::dos_time_of(0), 0x210000u);  // before 1980: 1980-01-01
    const std::vector<uint8_t> stamped = formats::write_package(m, image, tts, {}, dated).value();
    EXPECT_FALSE(stamped == formats::write_package(m, image, tts).value());
    EXPECT_TRUE(stamped == formats::write_package(m, image, tts, {}, dated).value());
}

// Each encoding's bytes in flash and its text in the records, and the values each field refuses.
TEST(UnitFields, EachEncodingsBytesAndTextAndWhatIsRefused) {
    struct Case {
        const char *source;
        uint64_t number;
        std::vector<uint8_t> bytes;
        const char *text;
    };
    const Case cases[] = {
        {"n=0x9000:u32le", 0x01020304, {4, 3, 2, 1}, "16909060"},
        {"n=36864:u32be", 0x01020304, {1, 2, 3, 4}, "16909060"},
        {"n=0x9000:u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}, "72623859790382856"},
        {"n=0x9000:u64be", 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}, "72623859790382856"},
        {"mac=0x9000:mac48", 0x020000000001, {2, 0, 0, 0, 0, 1}, "02:00:00:00:00:01"},
        {"sn=0x9000:text:SN{:08}",
         1000,
         {'S', 'N', '0', '0', '0', '0', '1', '0', '0', '0'},
         "SN00001000"},
    };
    for (const Case &c : cases) {
        base::Result<formats::UnitField> f = formats::parse_unit_field(c.source);
        ASSERT_TRUE(f.ok()) << c.source << ": " << f.message();
        EXPECT_EQ(f->address, 0x9000u);
        EXPECT_EQ(formats::encode_unit(*f, c.number), c.bytes) << c.source;
        EXPECT_EQ(formats::unit_field_size(*f), c.bytes.size()) << c.source;
        EXPECT_EQ(formats::unit_text(*f, c.number), c.text) << c.source;
        // What the records say reads back as the same number, and the field's text survives.
        EXPECT_EQ(*formats::parse_unit_value(*f, c.text), c.number) << c.source;
        EXPECT_EQ(formats::parse_unit_field(formats::unit_field_text(*f))->address, 0x9000u);
    }
    const formats::UnitField sn = *formats::parse_unit_field("sn=0x9000:text:SN{:08}");
    EXPECT_EQ(*formats::parse_unit_value(sn, "1000"), 1000u);
    EXPECT_FALSE(formats::parse_unit_value(sn, "100000000").ok()) << "needs a ninth digit";
    const formats::UnitField u32 = *formats::parse_unit_field("n=0x9000:u32le");
    EXPECT_FALSE(formats::parse_unit_value(u32, "4294967296").ok());
    EXPECT_FALSE(formats::parse_unit_value(u32, "12x").ok());
    for (const char *bad : {"9n=0x9000:u32le", "n=0x9000", "n=zz:u32le", "n=0x9000:u16le",
                            "n=0x9000:text:SN", "n=0x9000:text:{:0}", "n=0x9000:text:a{b{:04}"}) {
        EXPECT_FALSE(formats::parse_unit_field(bad).ok()) << bad;
    }
}
