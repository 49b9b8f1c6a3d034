#include "host/inputs/unit_values.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "base/text.h"
#include "globals/iap_globals.h"
#include "host/inputs/file_reading.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

constexpr uint64_t kListFileLimit = 256u << 20;

// NAME=REST split at the first '='; false without one.
bool split_named(const std::string &text, std::string &name, std::string &rest) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        return false;
    }
    name = text.substr(0, eq);
    rest = text.substr(eq + 1);
    return true;
}

UnitSource *source_named(std::vector<UnitSource> &sources, const std::string &name) {
    for (UnitSource &s : sources) {
        if (s.field.name == name) {
            return &s;
        }
    }
    return nullptr;
}

base::Status read_range(UnitSource &source, const std::string &text) {
    // MAC addresses hold '-' only as a separator of the two ends when written with colons.
    const size_t dash = text.find('-', 1);
    if (dash == std::string::npos) {
        return Error(ErrorCode::InvalidInput,
                     "--unit-range " + source.field.name + "=" + text + ": not FIRST-LAST");
    }
    base::Result<uint64_t> first = formats::parse_unit_value(source.field, text.substr(0, dash));
    base::Result<uint64_t> last = formats::parse_unit_value(source.field, text.substr(dash + 1));
    for (const base::Result<uint64_t> *end : {&first, &last}) {
        if (!end->ok()) {
            return Error(ErrorCode::InvalidInput, "--unit-range: " + end->message());
        }
    }
    if (*last < *first) {
        return Error(ErrorCode::InvalidInput, "--unit-range " + source.field.name + "=" + text +
                                                  ": its end is below its start");
    }
    source.first = *first;
    source.last = *last;
    source.given = text;
    return {};
}

base::Status read_list(UnitSource &source, const std::string &path) {
    base::Result<std::vector<uint8_t>> bytes = read_whole(path, kListFileLimit);
    if (!bytes.ok()) {
        return Error(bytes.code(), "--unit-list: cannot read '" + path + "': " + bytes.message());
    }
    const std::string text(bytes->begin(), bytes->end());
    std::set<uint64_t> seen;
    size_t at = 0;
    unsigned line_number = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line_number++;
        line = line.substr(0, line.find('#'));
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) {
            continue;
        }
        line = line.substr(b, line.find_last_not_of(" \t\r") - b + 1);
        base::Result<uint64_t> n = formats::parse_unit_value(source.field, line);
        const std::string where = "--unit-list " + path + " line " + std::to_string(line_number);
        if (!n.ok()) {
            return Error(ErrorCode::InvalidInput, where + ": " + n.message());
        }
        if (!seen.insert(*n).second) {
            return Error(ErrorCode::InvalidInput, where + ": " + line + " is listed twice");
        }
        source.list.push_back(*n);
    }
    if (source.list.empty()) {
        return Error(ErrorCode::InvalidInput, "--unit-list " + path + ": it holds no value");
    }
    source.is_list = true;
    source.given = path;
    return {};
}

}  // namespace

base::Result<std::vector<UnitSource>> unit_sources(const std::vector<formats::UnitField> &fields,
                                                   const std::vector<std::string> &ranges,
                                                   const std::vector<std::string> &lists) {
    std::vector<UnitSource> sources;
    for (const formats::UnitField &f : fields) {
        if (source_named(sources, f.name) != nullptr) {
            return Error(ErrorCode::InvalidInput,
                         "the unit field " + f.name + " is declared twice");
        }
        sources.push_back(UnitSource{f, false, 0, 0, {}, ""});
    }
    std::set<std::string> given;
    for (const bool list : {false, true}) {
        for (const std::string &text : list ? lists : ranges) {
            const char *option = list ? "--unit-list" : "--unit-range";
            std::string name;
            std::string rest;
            if (!split_named(text, name, rest)) {
                return Error(ErrorCode::InvalidInput,
                             std::string(option) + " '" + text +
                                 "': not NAME=" + (list ? "FILE" : "FIRST-LAST"));
            }
            UnitSource *source = source_named(sources, name);
            if (source == nullptr) {
                return Error(ErrorCode::InvalidInput, std::string(option) + " " + name +
                                                          ": no unit field of that name "
                                                          "(--unit-field or the package's)");
            }
            if (!given.insert(name).second) {
                return Error(ErrorCode::InvalidInput,
                             "the unit field " + name + " is given values twice");
            }
            const base::Status read = list ? read_list(*source, rest) : read_range(*source, rest);
            if (!read.ok()) {
                return read.error();
            }
        }
    }
    for (const UnitSource &s : sources) {
        if (given.count(s.field.name) == 0) {
            return Error(ErrorCode::InvalidInput,
                         "the unit field " + s.field.name + " has no values: give --unit-range " +
                             s.field.name + "=FIRST-LAST or --unit-list " + s.field.name + "=FILE");
        }
    }
    return sources;
}

base::Status check_unit_fields(const std::vector<formats::UnitField> &fields,
                               const Layout &layout) {
    const uint64_t image_end = static_cast<uint64_t>(kImageStart) + layout.image_program;
    const uint64_t tts_end = static_cast<uint64_t>(layout.tts_addr) + layout.tts_rounded;
    std::vector<std::pair<uint64_t, uint64_t>> taken;
    for (const formats::UnitField &f : fields) {
        const uint64_t begin = f.address;
        const uint64_t end = begin + formats::unit_field_size(f);
        const std::string named = base::format(
            "the unit field %s (0x%06llx-0x%06llx)", f.name.c_str(),
            static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end - 1));
        if (begin < kImageStart || end > image_end) {
            return Error(ErrorCode::InvalidInput,
                         named + " is outside the image's programmed range " +
                             base::format("0x%06x-0x%06llx", kImageStart,
                                          static_cast<unsigned long long>(image_end - 1)));
        }
        if (layout.tts_rounded != 0 && begin < tts_end && end > layout.tts_addr) {
            return Error(ErrorCode::InvalidInput,
                         named + " lies in the TTS range, which every board shares");
        }
        for (const auto &[b, e] : taken) {
            if (begin < e && end > b) {
                return Error(ErrorCode::InvalidInput, named + " overlaps another unit field");
            }
        }
        taken.emplace_back(begin, end);
        if (!std::all_of(img_file + begin, img_file + end, [](uint8_t b) { return b == 0xFF; })) {
            return Error(ErrorCode::InvalidInput,
                         named +
                             " holds bytes other than 0xFF in the image: no placeholder the "
                             "firmware reserved");
        }
    }
    return {};
}

std::vector<ImagePatch> unit_patches(const std::vector<UnitSource> &sources,
                                     const std::vector<uint64_t> &numbers) {
    std::vector<ImagePatch> patches;
    for (size_t i = 0; i < sources.size() && i < numbers.size(); i++) {
        patches.push_back(
            {sources[i].field.address, formats::encode_unit(sources[i].field, numbers[i])});
    }
    return patches;
}

std::string units_object(const std::vector<UnitSource> &sources,
                         const std::vector<uint64_t> &numbers) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    for (size_t i = 0; i < sources.size() && i < numbers.size(); i++) {
        j[sources[i].field.name] = formats::unit_text(sources[i].field, numbers[i]);
    }
    return j.dump();
}

BoardUnitValues board_unit_values(const std::vector<UnitSource> &sources,
                                  const std::vector<uint64_t> &numbers) {
    BoardUnitValues v;
    v.numbers = numbers;
    v.patches = unit_patches(sources, numbers);
    v.object = units_object(sources, numbers);
    uint32_t lowest = UINT32_MAX;
    for (size_t i = 0; i < sources.size() && i < numbers.size(); i++) {
        v.named.emplace_back(sources[i].field.name,
                             formats::unit_text(sources[i].field, numbers[i]));
        lowest = std::min(lowest, sources[i].field.address);
    }
    v.first_page_offset = lowest == UINT32_MAX ? 0 : (lowest - kImageStart) / 256 * 256;
    return v;
}

std::vector<uint64_t> units_numbers(const std::vector<UnitSource> &sources,
                                    const std::string &object) {
    const nlohmann::json j = nlohmann::json::parse(object, nullptr, false);
    if (!j.is_object()) {
        return {};
    }
    std::vector<uint64_t> numbers;
    for (const UnitSource &s : sources) {
        const auto it = j.find(s.field.name);
        if (it == j.end() || !it->is_string()) {
            return {};
        }
        base::Result<uint64_t> n = formats::parse_unit_value(s.field, it->get<std::string>());
        if (!n.ok()) {
            return {};
        }
        numbers.push_back(*n);
    }
    return numbers;
}

}  // namespace host
