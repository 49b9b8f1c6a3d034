// Firmware files as toolchains write them: Intel HEX, Motorola S-record and ELF, read into the
// records of data they carry and laid into a flat buffer. Pure: bytes in, bytes and text out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace formats {

enum class Format { Raw, IntelHex, SRecord, Elf };

// "raw", "ihex", "srec", "elf": the names --format takes.
const char *format_name(Format f);
// "raw", "Intel HEX", ...: for messages.
const char *format_title(Format f);
// The format --format names; none for a name it does not take.
std::optional<Format> parse_format_name(const std::string &name);

// What the content looks like: the ELF magic, or a first line that is a HEX record (':' and hex
// digits) or an S-record ('S', a digit and hex digits); anything else is raw. A UTF-8 byte-order
// mark and white space (blank lines, spaces, CR LF) before the first line are passed over, as
// editors leave them; the readers pass over them too.
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
};

// Reads the whole file as `format` (Raw gives one record at 0). Every byte is looked at; the
// first malformed thing refuses the file (InvalidInput, "line 7: bad checksum ...").
base::Result<ParsedFile> parse_file(const uint8_t *data, size_t size, Format format);

// A run of addresses that received data, [begin, end).
struct Span {
    uint64_t begin = 0;
    uint64_t end = 0;
};

struct Laid {
    std::vector<std::string> notes;  // ELF segments left out because they lie elsewhere
    std::vector<Span> spans;         // merged, ascending; buffer offsets
    uint64_t data_bytes = 0;         // distinct bytes laid
    uint32_t end = 0;                // one past the last byte laid
};

// Lays the records into buf (filled with 0xFF first) so that address `base` lands at buf[0].
// Data outside [base, base + capacity) is refused, except an ELF segment wholly outside, which is
// left out with a note. Overlapping records must agree byte for byte, and something must be
// laid. A refusal (InvalidInput) names the line or program header.
base::Result<Laid> lay_out(const ParsedFile &file, uint64_t base, uint8_t *buf, uint32_t capacity);

// The lowest address of any record (UINT64_MAX when there is none).
uint64_t lowest_address(const ParsedFile &file);

}  // namespace formats
