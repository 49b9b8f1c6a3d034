// Records for the records' tests: one whose every field holds a value of its own (made by walking
// the table of a record's fields, so a field added there is covered here without a word), and the
// comparison of two records field by field.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/records/record_fields.h"
#include "host/records/record_writer.h"

namespace test_support {

// Field i's value tells it from every other field's and from its kind's default: texts with a
// quote, a backslash, a tab and a non-ASCII letter; counts and reals that are not 0.
inline host::DeviceRecord distinct_record(
    const std::string &id = "0f3c2a9e-5b7d-4c1e-8a2f-6d4b3e1c9a70",
    const std::string &time = "2026-12-09T04:40:05.123Z") {
    host::DeviceRecord r;
    size_t i = 0;
    for (const host::RecordField &f : host::record_fields()) {
        i++;
        host::FieldValue v;
        switch (f.kind) {
            case host::FieldKind::Uuid:
                v = host::FieldValue::of_text(id);
                break;
            case host::FieldKind::Time:
                v = host::FieldValue::of_text(time);
                break;
            case host::FieldKind::Text:
            case host::FieldKind::OptionalText: {
                std::string words = f.allowed != nullptr ? f.allowed : "";
                words =
                    words.substr(words.rfind(' ') == std::string::npos ? 0 : words.rfind(' ') + 1);
                v = host::FieldValue::of_text(!words.empty() ? words
                                                             : std::string(f.name) + " \"" +
                                                                   std::to_string(i) + "\" \\\tné");
                break;
            }
            case host::FieldKind::Count:
                v = host::FieldValue::of_integer(1000003 * i);
                break;
            case host::FieldKind::Real:
                v = host::FieldValue::of_real(static_cast<double>(i) + 0.1);
                break;
            case host::FieldKind::Crc:
                v = host::FieldValue::of_text(
                    host::record_crc_text(0x9e370001u * static_cast<uint32_t>(i)));
                break;
            case host::FieldKind::Object:
                v = host::FieldValue::of_text(host::record_fields_object(
                    {{"lot", std::to_string(i)},
                     {"work_order", std::string(f.name) + " \"\\\tné"}}));
                break;
        }
        EXPECT_TRUE(host::set_field(f, r, v).ok()) << f.name;
    }
    return r;
}

// Every field of `got` as in `want`, named when not.
inline void expect_same_record(const host::DeviceRecord &want, const host::DeviceRecord &got,
                               const std::string &where) {
    for (const host::RecordField &f : host::record_fields()) {
        const host::FieldValue a = host::field_value(f, want);
        const host::FieldValue b = host::field_value(f, got);
        EXPECT_EQ(static_cast<int>(a.type), static_cast<int>(b.type)) << where << ": " << f.name;
        EXPECT_EQ(a.text, b.text) << where << ": " << f.name;
        EXPECT_EQ(a.integer, b.integer) << where << ": " << f.name;
        EXPECT_EQ(a.real, b.real) << where << ": " << f.name;
    }
}

}  // namespace test_support
