#include "formats/image_formats.h"

#include <cstring>
#include <limits>

#include "base/text.h"

namespace formats {

namespace {

using base::format;

const uint8_t kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
const uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

base::Error refused(std::string why) {
    return base::Error(base::ErrorCode::InvalidInput, std::move(why));
}

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool all_hex(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (hex_value(p[i]) < 0)
            return false;
    }
    return true;
}

// The text lines of a file, without their "\n" or "\r\n". A byte-order mark and the white space
// before the first line are passed over, the lines they held still counted.
class Lines {
  public:
    Lines(const uint8_t *data, size_t size) : data_(data), size_(size) {
        if (size_ >= 3 && std::memcmp(data_, kByteOrderMark, 3) == 0) {
            pos_ = 3;
        }
        for (; pos_ < size_; pos_++) {
            const uint8_t c = data_[pos_];
            if (c == '\n') {
                number_++;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                break;
            }
        }
    }
    bool next(const uint8_t *&line, size_t &length) {
        if (pos_ >= size_)
            return false;
        const uint8_t *start = data_ + pos_;
        const void *nl = std::memchr(start, '\n', size_ - pos_);
        length = nl != nullptr ? static_cast<const uint8_t *>(nl) - start : size_ - pos_;
        pos_ += length + (nl != nullptr ? 1 : 0);
        if (length > 0 && start[length - 1] == '\r')
            length--;
        line = start;
        number_++;
        return true;
    }
    uint32_t number() const { return number_; }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
    uint32_t number_ = 0;
};

// Blank lines, and the DOS end-of-file mark some tools still append, carry nothing.
bool blank(const uint8_t *line, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != 0x1A)
            return false;
    }
    return true;
}

std::vector<uint8_t> decode_hex(const uint8_t *p, size_t n) {
    std::vector<uint8_t> out(n / 2);
    for (size_t i = 0; i < out.size(); i++) {
        out[i] = static_cast<uint8_t>(hex_value(p[2 * i]) << 4 | hex_value(p[2 * i + 1]));
    }
    return out;
}

void add_record(ParsedFile &f, uint64_t addr, const uint8_t *data, size_t length, uint32_t where) {
    if (length == 0)
        return;
    Record r;
    r.addr = addr;
    r.offset = f.bytes.size();
    r.length = static_cast<uint32_t>(length);
    r.where = where;
    f.bytes.insert(f.bytes.end(), data, data + length);
    f.records.push_back(r);
}

base::Status parse_ihex(const uint8_t *data, size_t size, ParsedFile &f) {
    Lines lines(data, size);
    const uint8_t *line;
    size_t length;
    uint64_t base = 0;
    bool ended = false;
    while (lines.next(line, length)) {
        const uint32_t n = lines.number();
        if (blank(line, length))
            continue;
        if (ended) {
            return refused(format("line %u: text after the end-of-file record", n));
        }
        if (line[0] != ':' || length < 11 || (length - 1) % 2 != 0 ||
            !all_hex(line + 1, length - 1)) {
            return refused(format("line %u: not a well-formed Intel HEX record", n));
        }
        const std::vector<uint8_t> b = decode_hex(line + 1, length - 1);
        if (b.size() != b[0] + 5u) {
            return refused(format("line %u: the record announces %u data bytes but holds %u", n,
                                  b[0], static_cast<unsigned>(b.size() - 5)));
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); i++)
            sum += b[i];
        const uint8_t expected = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        if (b.back() != expected) {
            return refused(format("line %u: bad checksum 0x%02X (the record's bytes give 0x%02X)",
                                  n, b.back(), expected));
        }
        const unsigned count = b[0];
        const unsigned offset = static_cast<unsigned>(b[1] << 8 | b[2]);
        const uint8_t type = b[3];
        const uint8_t *payload = b.data() + 4;
        const unsigned wanted[] = {count, 0, 2, 4, 2, 4};
        if (type > 5) {
            return refused(format("line %u: unknown record type %02X", n, type));
        }
        if (count != wanted[type]) {
            return refused(format("line %u: a type %02X record holds %u data bytes, not %u", n,
                                  type, count, wanted[type]));
        }
        switch (type) {
            case 0:
                add_record(f, base + offset, payload, count, n);
                break;
            case 1:
                ended = true;
                break;
            case 2:  // extended segment address: paragraphs of 16 bytes
                base = static_cast<uint64_t>(payload[0] << 8 | payload[1]) << 4;
                break;
            case 4:  // extended linear address: the upper 16 bits
                base = static_cast<uint64_t>(payload[0] << 8 | payload[1]) << 16;
                break;
            default:  // start addresses: where the CPU begins, nothing to program
                break;
        }
    }
    if (!ended) {
        return refused("the file ends without an end-of-file record (type 01): it is truncated");
    }
    return {};
}

base::Status parse_srec(const uint8_t *data, size_t size, ParsedFile &f) {
    Lines lines(data, size);
    const uint8_t *line;
    size_t length;
    bool ended = false;
    uint64_t data_records = 0;
    while (lines.next(line, length)) {
        const uint32_t n = lines.number();
        if (blank(line, length))
            continue;
        if (ended) {
            return refused(format("line %u: text after the termination record", n));
        }
        if (length < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || length % 2 != 0 ||
            !all_hex(line + 2, length - 2)) {
            return refused(format("line %u: not a well-formed S-record", n));
        }
        const int type = line[1] - '0';
        if (type == 4) {
            return refused(format("line %u: S4 is a reserved record type", n));
        }
        const std::vector<uint8_t> b = decode_hex(line + 2, length - 2);
        if (b.size() != b[0] + 1u) {
            return refused(format("line %u: the record announces %u bytes but holds %u", n, b[0],
                                  static_cast<unsigned>(b.size() - 1)));
        }
        const unsigned address_bytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const unsigned width = address_bytes[type];
        if (b[0] < width + 1) {
            return refused(format("line %u: an S%d record needs at least %u bytes, it has %u", n,
                                  type, width + 1, b[0]));
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); i++)
            sum += b[i];
        const uint8_t expected = static_cast<uint8_t>(~sum & 0xFF);
        if (b.back() != expected) {
            return refused(format("line %u: bad checksum 0x%02X (the record's bytes give 0x%02X)",
                                  n, b.back(), expected));
        }
        uint64_t addr = 0;
        for (unsigned i = 0; i < width; i++)
            addr = addr << 8 | b[1 + i];
        const size_t payload = b.size() - 2 - width;
        if (type >= 1 && type <= 3) {
            add_record(f, addr, b.data() + 1 + width, payload, n);
            data_records++;
        } else if (type == 5 || type == 6) {
            if (payload != 0 || addr != data_records) {
                return refused(
                    format("line %u: the count record says %llu data records, the file has %llu", n,
                           static_cast<unsigned long long>(addr),
                           static_cast<unsigned long long>(data_records)));
            }
        } else if (type >= 7) {
            if (payload != 0) {
                return refused(format("line %u: a termination record carries no data", n));
            }
            ended = true;
        }
    }
    if (!ended) {
        return refused(
            "the file ends without a termination record (S7, S8 or S9): it is truncated");
    }
    return {};
}

uint64_t read_uint(const uint8_t *p, unsigned bytes, bool big_endian) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; i++) {
        v |= static_cast<uint64_t>(p[big_endian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    }
    return v;
}

base::Status parse_elf(const uint8_t *data, size_t size, ParsedFile &f) {
    if (size < 4 || std::memcmp(data, kElfMagic, 4) != 0) {
        return refused("not an ELF file (no ELF magic)");
    }
    if (size < 16) {
        return refused("the ELF header is truncated");
    }
    const bool wide = data[4] == 2;
    const bool big = data[5] == 2;
    if ((data[4] != 1 && !wide) || (data[5] != 1 && !big)) {
        return refused("unknown ELF class or byte order");
    }
    const size_t header = wide ? 64 : 52;
    if (size < header) {
        return refused("the ELF header is truncated");
    }
    auto field = [&](size_t at, unsigned bytes) { return read_uint(data + at, bytes, big); };
    const unsigned word = wide ? 8 : 4;
    const uint64_t phoff = field(wide ? 32 : 28, word);
    const uint64_t phentsize = field(wide ? 54 : 42, 2);
    const uint64_t phnum = field(wide ? 56 : 44, 2);
    const uint64_t entry_min = wide ? 56 : 32;
    if (phnum == 0xFFFF) {
        return refused("more program headers than the ELF header can count: not supported");
    }
    if (phnum != 0 &&
        (phentsize < entry_min || phoff > size || (size - phoff) / phentsize < phnum)) {
        return refused("the program header table is truncated or malformed");
    }
    for (uint32_t i = 0; i < phnum; i++) {
        const size_t at = static_cast<size_t>(phoff + i * phentsize);
        if (field(at, 4) != 1)
            continue;  // PT_LOAD only
        const uint64_t offset = field(at + (wide ? 8 : 4), word);
        const uint64_t paddr = field(at + (wide ? 24 : 12), word);
        const uint64_t filesz = field(at + (wide ? 32 : 16), word);
        const uint64_t memsz = field(at + (wide ? 40 : 20), word);
        // The loader would load the file's bytes past the segment's own end: the file is
        // malformed, and what it meant to put there cannot be known.
        if (filesz > memsz) {
            return refused(
                format("program header %u: its %llu bytes in the file are more than "
                       "its %llu bytes in memory",
                       i, static_cast<unsigned long long>(filesz),
                       static_cast<unsigned long long>(memsz)));
        }
        if (filesz == 0)
            continue;  // .bss and the like: nothing in the file to program
        if (offset > size || size - offset < filesz || filesz > 0xFFFFFFFFu) {
            return refused(format("program header %u: its data lies past the end of the file", i));
        }
        add_record(f, paddr, data + offset, static_cast<size_t>(filesz), i);
    }
    return {};
}

std::string where_text(Format f, uint32_t where) {
    return format(f == Format::Elf ? "program header %u" : "line %u", where);
}

}  // namespace

const char *format_name(Format f) {
    switch (f) {
        case Format::IntelHex:
            return "ihex";
        case Format::SRecord:
            return "srec";
        case Format::Elf:
            return "elf";
        case Format::Raw:
            break;
    }
    return "raw";
}

const char *format_title(Format f) {
    switch (f) {
        case Format::IntelHex:
            return "Intel HEX";
        case Format::SRecord:
            return "S-record";
        case Format::Elf:
            return "ELF";
        case Format::Raw:
            break;
    }
    return "raw";
}

std::optional<Format> parse_format_name(const std::string &name) {
    for (Format f : {Format::Raw, Format::IntelHex, Format::SRecord, Format::Elf}) {
        if (name == format_name(f)) {
            return f;
        }
    }
    return std::nullopt;
}

Format detect_format(const uint8_t *data, size_t size) {
    if (size >= 4 && std::memcmp(data, kElfMagic, 4) == 0)
        return Format::Elf;
    Lines lines(data, size);
    const uint8_t *line;
    size_t length;
    if (!lines.next(line, length))
        return Format::Raw;
    if (length >= 11 && line[0] == ':' && all_hex(line + 1, length - 1))
        return Format::IntelHex;
    if (length >= 4 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9' &&
        all_hex(line + 2, length - 2)) {
        return Format::SRecord;
    }
    return Format::Raw;
}

base::Result<ParsedFile> parse_file(const uint8_t *data, size_t size, Format kind) {
    ParsedFile f;
    f.format = kind;
    base::Status read;
    switch (kind) {
        case Format::IntelHex:
            read = parse_ihex(data, size, f);
            break;
        case Format::SRecord:
            read = parse_srec(data, size, f);
            break;
        case Format::Elf:
            read = parse_elf(data, size, f);
            break;
        case Format::Raw:
            if (size > 0xFFFFFFFFu) {
                return refused("larger than 4 GiB");
            }
            add_record(f, 0, data, size, 0);
            break;
    }
    if (!read.ok()) {
        return read.error();
    }
    return f;
}

uint64_t lowest_address(const ParsedFile &file) {
    uint64_t lowest = std::numeric_limits<uint64_t>::max();
    for (const Record &r : file.records) {
        if (r.addr < lowest)
            lowest = r.addr;
    }
    return lowest;
}

base::Result<Laid> lay_out(const ParsedFile &file, uint64_t base, uint8_t *buf, uint32_t capacity) {
    Laid out;
    std::memset(buf, 0xFF, capacity);
    std::vector<bool> written(capacity);
    const uint64_t limit = base + capacity;
    for (const Record &r : file.records) {
        // An ELF address may sit at the top of 64 bits: the end is held there, not wrapped.
        const uint64_t end = r.addr > UINT64_MAX - r.length ? UINT64_MAX : r.addr + r.length;
        const std::string where = where_text(file.format, r.where);
        if (r.addr < base || end > limit) {
            const bool wholly_outside = end <= base || r.addr >= limit;
            if (file.format == Format::Elf && wholly_outside) {
                out.notes.push_back(format(
                    "%s (load addresses 0x%06llX-0x%06llX) lies outside 0x%06llX-0x%06llX and "
                    "is left out",
                    where.c_str(), static_cast<unsigned long long>(r.addr),
                    static_cast<unsigned long long>(end), static_cast<unsigned long long>(base),
                    static_cast<unsigned long long>(limit)));
                continue;
            }
            return refused(format(
                "%s: data at 0x%06llX-0x%06llX %s 0x%06llX-0x%06llX", where.c_str(),
                static_cast<unsigned long long>(r.addr), static_cast<unsigned long long>(end),
                file.format == Format::Elf ? "lies partly outside" : "lies outside",
                static_cast<unsigned long long>(base), static_cast<unsigned long long>(limit)));
        }
        const uint8_t *src = file.bytes.data() + r.offset;
        const size_t at = static_cast<size_t>(r.addr - base);
        for (size_t k = 0; k < r.length; k++) {
            if (written[at + k]) {
                if (buf[at + k] != src[k]) {
                    return refused(
                        format("%s: the byte at 0x%06llX is 0x%02X here but 0x%02X in earlier data",
                               where.c_str(), static_cast<unsigned long long>(r.addr + k), src[k],
                               buf[at + k]));
                }
                continue;
            }
            written[at + k] = true;
            buf[at + k] = src[k];
            out.data_bytes++;
        }
    }
    if (out.data_bytes == 0) {
        if (file.format != Format::Elf) {
            return refused("no data records");
        }
        return refused(format("no loadable data within 0x%06llX-0x%06llX",
                              static_cast<unsigned long long>(base),
                              static_cast<unsigned long long>(limit)));
    }
    for (size_t i = 0; i < capacity;) {
        if (!written[i]) {
            i++;
            continue;
        }
        Span s;
        s.begin = i;
        while (i < capacity && written[i])
            i++;
        s.end = i;
        out.spans.push_back(s);
    }
    out.end = static_cast<uint32_t>(out.spans.back().end);
    return out;
}

}  // namespace formats
