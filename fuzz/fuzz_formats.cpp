// Fuzzes the firmware readers. The first byte picks the reader (raw, Intel HEX, S-record, ELF,
// the recognised format, or a firmware package) and the buffer's size; the rest is the file.
// Any input is either refused with a reason or laid out so that every record's bytes are in the
// buffer where its address says, and nothing else is. The seeds are small files made by objcopy,
// ld and --make-package, each behind its pick byte.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/firmware_package.h"
#include "formats/image_formats.h"
#include "formats/sha256.h"
#include "fuzz_check.h"

namespace {

void check_package(const uint8_t *data, size_t size) {
    const base::Result<formats::Package> p = formats::read_package(data, size, 1 << 16);
    const base::Result<formats::SignedManifest> stored = formats::read_signed_manifest(data, size);
    if (!p.ok()) {
        FUZZ_CHECK(!p.message().empty(), "refused without a reason");
        FUZZ_CHECK(p.message().find('\0') == std::string::npos &&
                       p.message().find('\x1b') == std::string::npos,
                   "a refusal that shows control characters");
        return;
    }
    FUZZ_CHECK(stored.ok() && stored->text == p->stored.text,
               "the manifest read alone differs from the package's");
    FUZZ_CHECK(p->image.size() <= (1u << 16) && p->tts.size() <= (1u << 16),
               "a member past the limit");
    FUZZ_CHECK(formats::sha256_hex(p->image.data(), p->image.size()) == p->manifest.image_sha256,
               "an image accepted against its digest");
    FUZZ_CHECK(formats::check_member_name(p->manifest.tts_name).ok(), "an unsafe name accepted");
}

void check_file(formats::Format format, uint32_t capacity, uint64_t base, const uint8_t *data,
                size_t size) {
    const base::Result<formats::ParsedFile> read = formats::parse_file(data, size, format);
    if (!read.ok()) {
        FUZZ_CHECK(!read.message().empty(), "refused without a reason");
        return;
    }
    const formats::ParsedFile &parsed = *read;
    std::vector<uint8_t> buf(capacity);
    const base::Result<formats::Laid> laid_out =
        formats::lay_out(parsed, base, buf.data(), capacity);
    if (!laid_out.ok()) {
        return;
    }
    const formats::Laid &laid = *laid_out;
    FUZZ_CHECK(laid.data_bytes > 0 && laid.end <= capacity, "end %u past %u", laid.end, capacity);
    std::vector<bool> covered(capacity);
    for (const formats::Record &r : parsed.records) {
        if (r.addr < base || r.addr - base > capacity || r.length > capacity - (r.addr - base)) {
            FUZZ_CHECK(format == formats::Format::Elf, "a record outside the buffer laid");
            continue;
        }
        const size_t at = static_cast<size_t>(r.addr - base);
        FUZZ_CHECK(std::memcmp(buf.data() + at, parsed.bytes.data() + r.offset, r.length) == 0,
                   "record of line %u not where its address says", r.where);
        for (size_t k = 0; k < r.length; k++)
            covered[at + k] = true;
    }
    uint64_t counted = 0;
    for (const formats::Span &s : laid.spans) {
        for (uint64_t i = s.begin; i < s.end; i++) {
            FUZZ_CHECK(covered[i], "span byte 0x%llx has no record",
                       static_cast<unsigned long long>(i));
            counted++;
        }
    }
    FUZZ_CHECK(counted == laid.data_bytes, "spans hold %llu bytes, %llu laid",
               static_cast<unsigned long long>(counted),
               static_cast<unsigned long long>(laid.data_bytes));
    for (size_t i = 0; i < capacity; i++) {
        FUZZ_CHECK(covered[i] || buf[i] == 0xFF, "byte 0x%zx written without a record", i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t pick = data[0];
    data++;
    size--;
    const formats::Format detected = formats::detect_format(data, size);
    switch (pick % 6) {
        case 5:
            check_package(data, size);
            return 0;
        case 4:
            check_file(detected, 0x1000u << (pick / 6 % 6), (pick & 0x80) ? 0x8000 : 0, data, size);
            return 0;
        default:
            check_file(static_cast<formats::Format>(pick % 6), 0x1000u << (pick / 6 % 6),
                       (pick & 0x80) ? 0x8000 : 0, data, size);
            return 0;
    }
}
