// The format readers on files made by binutils from raw data, on damaged files, and the firmware
// package on archives made by hand.
#include <gtest/gtest.h>
#include <unistd.h>

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

Loaded load(const std::vector<uint8_t> &file, Format format) {
    Loaded l;
    l.parsed = formats::parse_file(file.data(), file.size(), format);
    if (l.parsed.ok()) {
        l.laid = formats::lay_out(l.parsed, 0, l.buffer.data(), kCapacity);
    }
    return l;
}

std::string error_of(const std::string &text, Format format) {
    const Loaded l = load(bytes_of(text), format);
    return l.parsed.ok() ? l.laid.error : l.parsed.error;
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
        const Loaded l = load(file, format);
        ASSERT_TRUE(l.parsed.ok()) << name << ": " << l.parsed.error;
        ASSERT_TRUE(l.laid.ok()) << name << ": " << l.laid.error;
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
        const Loaded l = load(read(name), format);
        ASSERT_TRUE(l.parsed.ok() && l.laid.ok()) << name << l.parsed.error << l.laid.error;
        EXPECT_EQ(l.laid.end, raw.size()) << name;
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), l.buffer.begin())) << name;
        EXPECT_EQ(l.buffer[raw.size()], 0xFF) << name;
    }
}

TEST_F(Converted, ElfSegmentsPartlyOutsideTheBufferOrNoneInsideAreRefused) {
    write("a.bin", random_bytes(512, 5));
    link("edge.elf", {{"a.bin", kCapacity - 256}});
    link("ramonly.elf", {{"a.bin", 0x20000000}});
    EXPECT_NE(load(read("edge.elf"), Format::Elf).laid.error.find("lies partly outside"),
              std::string::npos);
    EXPECT_NE(load(read("ramonly.elf"), Format::Elf).laid.error.find("no loadable data"),
              std::string::npos);
    std::vector<uint8_t> cut = read("edge.elf");
    cut.resize(80);
    EXPECT_NE(load(cut, Format::Elf).parsed.error.find("program header table is truncated"),
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
    return formats::read_package(zip.data(), zip.size(), limit).error;
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
    std::vector<uint8_t> zip;
    ASSERT_EQ(formats::write_package(m, image, tts, zip), "");
    const formats::Package p = formats::read_package(zip.data(), zip.size(), kCapacity);
    ASSERT_TRUE(p.ok()) << p.error;
    EXPECT_TRUE(p.image == image);
    EXPECT_TRUE(p.tts == tts);
    EXPECT_EQ(formats::manifest_json(p.manifest), formats::manifest_json(m));
    // The same files give the same package, byte for byte.
    std::vector<uint8_t> again;
    formats::write_package(m, image, tts, again);
    EXPECT_TRUE(again == zip);
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
    const formats::ManifestSigner signer = [&](const std::string &manifest,
                                               const formats::Manifest &, std::string &sig) {
        seen = manifest;
        sig = "signature of the manifest\n";
        return std::string();
    };
    std::vector<uint8_t> zip;
    ASSERT_EQ(formats::write_package(manifest_for(image, tts), image, tts, zip, signer), "");
    const formats::Package p = formats::read_package(zip.data(), zip.size(), kCapacity);
    ASSERT_TRUE(p.ok()) << p.error;
    EXPECT_TRUE(p.signed_package);
    EXPECT_EQ(p.signature_text, "signature of the manifest\n");
    EXPECT_EQ(std::string(p.manifest_text.begin(), p.manifest_text.end()), seen);

    // A changed member leaves the manifest to be checked against its signature first.
    const std::vector<uint8_t> manifest = bytes_of(seen);
    std::vector<uint8_t> changed = image;
    changed[0] ^= 1;
    const std::string scratch =
        (fs::temp_directory_path() / ("hidiap_zip_" + std::to_string(getpid()) + ".zip")).string();
    const std::vector<uint8_t> bad = test_support::zip_of(
        {{"package.json", manifest}, {"fw.hex", changed}, {"tts.bin", tts}}, scratch);
    const formats::Package q = formats::read_package(bad.data(), bad.size(), kCapacity);
    EXPECT_TRUE(q.member_changed) << q.error;
    EXPECT_FALSE(q.signed_package);
    EXPECT_TRUE(q.manifest_text == manifest);
    // A signature member too large to be one still marks the package as signed.
    const std::vector<uint8_t> huge =
        test_support::zip_of({{"package.json", manifest},
                              {"fw.hex", image},
                              {"tts.bin", tts},
                              {"package.json.minisig", random_bytes(5000, 11)}},
                             scratch);
    const formats::Package r = formats::read_package(huge.data(), huge.size(), kCapacity);
    EXPECT_TRUE(r.signed_package) << r.error;
    EXPECT_FALSE(r.member_changed);
    EXPECT_NE(r.error.find("package.json.minisig"), std::string::npos) << r.error;
}
