#include "formats/unit_field.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace formats {

namespace {

using base::Error;
using base::ErrorCode;

Error refused(std::string_view text, const std::string &why) {
    return Error(ErrorCode::InvalidInput, "unit field '" + std::string(text) + "': " + why);
}

bool is_name(std::string_view s) {
    if (s.empty() || s.size() > 32 || !std::isalpha(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    for (const char c : s) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

// Decimal, or hex after 0x; nothing else, and nothing beyond MAX.
bool parse_number(std::string_view s, uint64_t max, uint64_t &out) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return false;
    }
    uint64_t n = 0;
    for (const char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            d = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        } else {
            return false;
        }
        if (n > (max - d) / base) {
            return false;
        }
        n = n * base + d;
    }
    out = n;
    return true;
}

// Printable ASCII without braces: the pattern's text is written into flash as it stands.
bool plain_text(std::string_view s) {
    for (const char c : s) {
        if (c < 0x20 || c > 0x7e || c == '{' || c == '}') {
            return false;
        }
    }
    return true;
}

bool parse_mac(std::string_view s, uint64_t &out) {
    if (s.size() != 17) {
        return false;
    }
    uint64_t n = 0;
    for (size_t i = 0; i < 17; i++) {
        const char c = s[i];
        if (i % 3 == 2) {
            if (c != ':' && c != '-') {
                return false;
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        const unsigned d = std::isdigit(static_cast<unsigned char>(c))
                               ? static_cast<unsigned>(c - '0')
                               : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        n = n << 4 | d;
    }
    out = n;
    return true;
}

}  // namespace

base::Result<UnitField> parse_unit_field(std::string_view text) {
    const size_t eq = text.find('=');
    const size_t colon = text.find(':', eq == std::string_view::npos ? 0 : eq);
    if (eq == std::string_view::npos || colon == std::string_view::npos) {
        return refused(text, "not NAME=ADDRESS:ENCODING");
    }
    UnitField f;
    f.name = std::string(text.substr(0, eq));
    if (!is_name(f.name)) {
        return refused(text, "the name must be letters, digits and _, a letter first");
    }
    uint64_t address = 0;
    if (!parse_number(text.substr(eq + 1, colon - eq - 1), 0xFFFFFFFFull, address)) {
        return refused(text, "the address is not a number (decimal or 0x hex)");
    }
    f.address = static_cast<uint32_t>(address);
    const std::string_view encoding = text.substr(colon + 1);
    if (encoding == "u32le") {
        f.encoding = UnitEncoding::U32Le;
    } else if (encoding == "u32be") {
        f.encoding = UnitEncoding::U32Be;
    } else if (encoding == "u64le") {
        f.encoding = UnitEncoding::U64Le;
    } else if (encoding == "u64be") {
        f.encoding = UnitEncoding::U64Be;
    } else if (encoding == "mac48") {
        f.encoding = UnitEncoding::Mac48;
    } else if (encoding.substr(0, 5) == "text:") {
        f.encoding = UnitEncoding::Text;
        const std::string_view pattern = encoding.substr(5);
        const size_t open = pattern.find("{:0");
        const size_t close = open == std::string_view::npos ? open : pattern.find('}', open);
        uint64_t digits = 0;
        if (close == std::string_view::npos ||
            !parse_number(pattern.substr(open + 3, close - open - 3), 18, digits) || digits == 0 ||
            pattern.substr(open + 3, 2) == "0x") {
            return refused(text, "a text pattern holds one {:0N}, N digits from 1 to 18");
        }
        f.prefix = std::string(pattern.substr(0, open));
        f.suffix = std::string(pattern.substr(close + 1));
        f.digits = static_cast<unsigned>(digits);
        if (!plain_text(f.prefix) || !plain_text(f.suffix)) {
            return refused(text, "a text pattern's own characters are printable ASCII, one {:0N}");
        }
    } else {
        return refused(text,
                       "the encoding is none of u32le, u32be, u64le, u64be, mac48, "
                       "text:PATTERN");
    }
    return f;
}

std::string unit_field_text(const UnitField &f) {
    static const char *const kWords[] = {"u32le", "u32be", "u64le", "u64be", "text:", "mac48"};
    char address[16];
    std::snprintf(address, sizeof address, "0x%x", f.address);
    std::string text = f.name + "=" + address + ":" + kWords[static_cast<int>(f.encoding)];
    if (f.encoding == UnitEncoding::Text) {
        text += f.prefix + "{:0" + std::to_string(f.digits) + "}" + f.suffix;
    }
    return text;
}

uint32_t unit_field_size(const UnitField &f) {
    switch (f.encoding) {
        case UnitEncoding::U32Le:
        case UnitEncoding::U32Be:
            return 4;
        case UnitEncoding::U64Le:
        case UnitEncoding::U64Be:
            return 8;
        case UnitEncoding::Mac48:
            return 6;
        case UnitEncoding::Text:
            break;
    }
    return static_cast<uint32_t>(f.prefix.size() + f.digits + f.suffix.size());
}

uint64_t unit_field_max(const UnitField &f) {
    switch (f.encoding) {
        case UnitEncoding::U32Le:
        case UnitEncoding::U32Be:
            return 0xFFFFFFFFull;
        case UnitEncoding::Mac48:
            return 0xFFFFFFFFFFFFull;
        case UnitEncoding::Text: {
            uint64_t max = 1;
            for (unsigned i = 0; i < f.digits; i++) {
                max *= 10;
            }
            return max - 1;
        }
        default:
            return kUnitNumberMax;
    }
}

std::vector<uint8_t> encode_unit(const UnitField &f, uint64_t number) {
    std::vector<uint8_t> bytes;
    const auto put = [&](unsigned size, bool big) {
        for (unsigned i = 0; i < size; i++) {
            const unsigned shift = 8 * (big ? size - 1 - i : i);
            bytes.push_back(static_cast<uint8_t>(number >> shift));
        }
    };
    switch (f.encoding) {
        case UnitEncoding::U32Le:
            put(4, false);
            break;
        case UnitEncoding::U32Be:
            put(4, true);
            break;
        case UnitEncoding::U64Le:
            put(8, false);
            break;
        case UnitEncoding::U64Be:
            put(8, true);
            break;
        case UnitEncoding::Mac48:
            put(6, true);
            break;
        case UnitEncoding::Text: {
            const std::string text = unit_text(f, number);
            bytes.assign(text.begin(), text.end());
            break;
        }
    }
    return bytes;
}

std::string unit_text(const UnitField &f, uint64_t number) {
    char buf[32];
    if (f.encoding == UnitEncoding::Mac48) {
        std::snprintf(
            buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x",
            static_cast<unsigned>(number >> 40 & 0xFF), static_cast<unsigned>(number >> 32 & 0xFF),
            static_cast<unsigned>(number >> 24 & 0xFF), static_cast<unsigned>(number >> 16 & 0xFF),
            static_cast<unsigned>(number >> 8 & 0xFF), static_cast<unsigned>(number & 0xFF));
        return buf;
    }
    if (f.encoding == UnitEncoding::Text) {
        std::snprintf(buf, sizeof buf, "%0*llu", static_cast<int>(f.digits),
                      static_cast<unsigned long long>(number));
        return f.prefix + buf + f.suffix;
    }
    return std::to_string(number);
}

base::Result<uint64_t> parse_unit_value(const UnitField &f, std::string_view text) {
    const uint64_t max = unit_field_max(f);
    uint64_t n = 0;
    bool read = false;
    if (f.encoding == UnitEncoding::Mac48 && parse_mac(text, n)) {
        read = true;
    } else if (f.encoding == UnitEncoding::Text &&
               text.size() == f.prefix.size() + f.digits + f.suffix.size() &&
               text.substr(0, f.prefix.size()) == f.prefix &&
               text.substr(text.size() - f.suffix.size()) == f.suffix) {
        const std::string_view digits = text.substr(f.prefix.size(), f.digits);
        read = digits.find_first_not_of("0123456789") == std::string_view::npos &&
               parse_number(digits, max, n);
    }
    if (!read && !parse_number(text, UINT64_MAX, n)) {
        return base::Error(ErrorCode::InvalidInput,
                           "'" + std::string(text) + "' is no value of the unit field " + f.name);
    }
    if (n > max || n > kUnitNumberMax) {
        return base::Error(ErrorCode::InvalidInput,
                           "'" + std::string(text) + "' does not fit the unit field " + f.name +
                               " (at most " + unit_text(f, std::min(max, kUnitNumberMax)) + ")");
    }
    return n;
}

}  // namespace formats
