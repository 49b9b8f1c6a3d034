// Firmware files as toolchains write them: Intel HEX, Motorola S-record and ELF, read into the
// records of data they carry and laid into a flat buffer. Pure: bytes in, bytes and text out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace formats {

enum class Format { Raw, IntelHex, SRecord, Elf };

// "raw", "ihex", "srec", "elf": the names --format takes.
const char *format_name(Format f);
// "raw", "Intel HEX", ...: for messages.
const char *format_title(Format f);
bool parse_format_name(const std::string &name, Format &out);

// What the content looks like: the ELF magic, or a first line that is a HEX record (':' and hex
// digits) or an S-record ('S', a digit and hex digits); anything else is raw.
Format detect_format(const uint8_t *data, size_t size);

// One run of bytes at one address. `where` is the line (HEX, S-record) or the program header's
// index (ELF) it came from, for messages.
struct Record {
    uint64_t addr = 0;
    size_t offset = 0;  // into ParsedFile::bytes
    uint32_t length = 0;
    uint32_t where = 0;
};

struct ParsedFile {
    Format format = Format::Raw;
    std::vector<uint8_t> bytes;
    std::vector<Record> records;
    std::string error;  // empty when the whole file was well-formed
    bool ok() const { return error.empty(); }
};

// Reads the whole file as `format` (Raw gives one record at 0). Every byte is looked at; the
// first malformed thing ends the parse with `error` ("line 7: bad checksum ...").
ParsedFile parse_file(const uint8_t *data, size_t size, Format format);

// A run of addresses that received data, [begin, end).
struct Span {
    uint64_t begin = 0;
    uint64_t end = 0;
};

struct Laid {
    std::string error;               // empty when every record found its place
    std::vector<std::string> notes;  // ELF segments left out because they lie elsewhere
    std::vector<Span> spans;         // merged, ascending; buffer offsets
    uint64_t data_bytes = 0;         // distinct bytes laid
    uint32_t end = 0;                // one past the last byte laid (0: nothing laid)
    bool ok() const { return error.empty(); }
};

// Lays the records into buf (filled with 0xFF first) so that address `base` lands at buf[0].
// Data outside [base, base + capacity) is refused, except an ELF segment wholly outside, which is
// left out with a note. Overlapping records must agree byte for byte.
Laid lay_out(const ParsedFile &file, uint64_t base, uint8_t *buf, uint32_t capacity);

// The lowest address of any record (UINT64_MAX when there is none).
uint64_t lowest_address(const ParsedFile &file);

}  // namespace formats
