// Zip archives written member by member, as any zip tool would, so tests can hand the reader
// packages that hidiap itself would never write.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

using ZipMember = std::pair<std::string, std::vector<uint8_t>>;

// The archive's bytes; the members in the given order, deflated.
std::vector<uint8_t> zip_of(const std::vector<ZipMember> &members, const std::string &scratch);

std::vector<uint8_t> bytes_of(const std::string &text);

}  // namespace test_support
