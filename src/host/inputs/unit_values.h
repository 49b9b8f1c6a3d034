// Unit values: each board's own serial number or MAC address, written into its copy of the image.
// The fields come from the command line or a package; their values from a range or a list file.
// Everything here is checked before a device is touched.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "formats/unit_field.h"
#include "host/inputs/input_files.h"

namespace host {

// A field and where its values come from.
struct UnitSource {
    formats::UnitField field;
    bool is_list = false;
    uint64_t first = 0;  // a range, both ends included
    uint64_t last = 0;
    std::vector<uint64_t> list;  // a list file's values, in its order
    std::string given;           // as given: 1000000-1999999, or the list file's path
};

// Bytes written at a flash address of one board's image.
struct ImagePatch {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// The fields with their values, from --unit-field (or a package's fields) and each field's
// --unit-range NAME=FIRST-LAST or --unit-list NAME=FILE (one value per line, # comments and
// blank lines skipped, no value twice). Every field needs exactly one source and every source
// a field. InvalidInput with the reason.
base::Result<std::vector<UnitSource>> unit_sources(const std::vector<formats::UnitField> &fields,
                                                   const std::vector<std::string> &ranges,
                                                   const std::vector<std::string> &lists);

// The fields against the loaded image (img_file): inside the image's programmed range (from
// 0x8000 to its length rounded to 256), outside the TTS range (the TTS data is every board's),
// over bytes that are all 0xFF (the firmware's placeholder), no two over one byte.
base::Status check_unit_fields(const std::vector<formats::UnitField> &fields, const Layout &layout);

// One board's values as the bytes of its image, and as the records' object of texts
// ({"mac":"02:00:00:00:00:01","serial":"1000000"}, in the order of the fields).
std::vector<ImagePatch> unit_patches(const std::vector<UnitSource> &sources,
                                     const std::vector<uint64_t> &numbers);
std::string units_object(const std::vector<UnitSource> &sources,
                         const std::vector<uint64_t> &numbers);
// One board's values in every form the station hands them on in.
struct BoardUnitValues {
    std::vector<uint64_t> numbers;  // one per field, in their order
    std::vector<ImagePatch> patches;
    std::string object;                                      // the records' units
    std::vector<std::pair<std::string, std::string>> named;  // field name and value text
    // The offset into the image's programmed range of the first page that holds a field: once
    // the image's writing reached it, the board may hold the values.
    uint32_t first_page_offset = 0;
};
BoardUnitValues board_unit_values(const std::vector<UnitSource> &sources,
                                  const std::vector<uint64_t> &numbers);

// The numbers of the object's texts, in the order of the fields; empty when a field is missing
// or a text is none of its field's values.
std::vector<uint64_t> units_numbers(const std::vector<UnitSource> &sources,
                                    const std::string &object);

}  // namespace host
