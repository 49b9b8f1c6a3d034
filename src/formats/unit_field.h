// A unit field: a spot the firmware reserved (0xFF placeholder bytes) for a value that is each
// board's own, such as its serial number or MAC address, written into that board's copy of the
// image before it is programmed. Declared as NAME=ADDRESS:ENCODING on the command line and in a
// package's manifest. Pure: text to fields, numbers to bytes and back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace formats {

enum class UnitEncoding { U32Le, U32Be, U64Le, U64Be, Text, Mac48 };

struct UnitField {
    std::string name;  // letters, digits and _, a letter first: it names an environment variable
    uint32_t address = 0;  // flash address of its first byte
    UnitEncoding encoding = UnitEncoding::U32Le;
    // Text: the pattern around the number ("SN{:08}": prefix "SN", 8 digits, no suffix).
    std::string prefix;
    std::string suffix;
    unsigned digits = 0;
};

// Every value is a number below this (the databases keep them as signed 64-bit integers).
constexpr uint64_t kUnitNumberMax = 0x7FFFFFFFFFFFFFFFull;

// NAME=ADDRESS:ENCODING, ADDRESS in decimal or 0x hex, ENCODING one of u32le u32be u64le u64be
// mac48 text:PATTERN (PATTERN holds one {:0N}, N from 1 to 18). InvalidInput with the reason.
base::Result<UnitField> parse_unit_field(std::string_view text);
// The field as parse_unit_field reads it.
std::string unit_field_text(const UnitField &field);
// The bytes it takes in flash: 4, 8, 6, or the expanded pattern's length.
uint32_t unit_field_size(const UnitField &field);
// The largest number it holds: 2^32-1, 2^48-1, 10^N-1, or kUnitNumberMax.
uint64_t unit_field_max(const UnitField &field);
// NUMBER as the field's bytes; NUMBER is at most unit_field_max.
std::vector<uint8_t> encode_unit(const UnitField &field, uint64_t number);
// NUMBER as the records and events show it: decimal, the expanded pattern, or 02:00:00:00:00:01.
std::string unit_text(const UnitField &field, uint64_t number);
// A value as written in a range, a list line or a record (the forms unit_text gives, and decimal
// or 0x hex for any field); refused when malformed or beyond the field.
base::Result<uint64_t> parse_unit_value(const UnitField &field, std::string_view text);

}  // namespace formats
