// Zip archives in memory, as firmware packages are: read member by member with everything a
// second reader could take differently refused, and written with fixed dates so that the same
// members give the same bytes. Over minizip; nothing touches the disk.
#pragma once

#include <unzip.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace formats {

// minizip reads and writes through these callbacks, here over memory.
struct MemoryStream {
    const uint8_t *in = nullptr;
    size_t size = 0;
    std::vector<uint8_t> *out = nullptr;
    size_t pos = 0;
};

// An archive opened over the bytes in memory (which must outlive it), closed when it goes.
class ZipReader {
  public:
    ZipReader(const uint8_t *data, size_t size);
    ~ZipReader();
    ZipReader(const ZipReader &) = delete;
    ZipReader &operator=(const ZipReader &) = delete;

    // The archive is readable and holds every name once: minizip takes the first of two members
    // of one name, other readers the last, and a signed package must mean one thing to all.
    base::Status check() const;
    bool has(const std::string &name) const;
    // The members' names in the archive's order, after check().
    std::vector<std::string> names() const;
    // The DOS date and time a member is stamped with (0 when it cannot be read).
    uint32_t dos_time(const std::string &name) const;
    // One member, whole, of at most `limit` bytes. Refused (Unsupported) when it is encrypted
    // or compressed with anything but deflate, and (InvalidInput) when its local header names
    // another file or disagrees with the list of members, or its data is damaged.
    base::Result<std::vector<uint8_t>> extract(const std::string &name, uint64_t limit) const;

  private:
    base::Status check_local_name(const std::string &name, const unz_file_info64 &info) const;

    MemoryStream stream_;
    zlib_filefunc64_def functions_{};
    unzFile zip_ = nullptr;
};

// The DOS date and time of 1980-01-01 00:00, the date packages carry unless told another.
constexpr uint32_t kFixedDosTime = (0u << 25 | 1u << 21 | 1u << 16);

// An archive of the members, in order, deflated, every member stamped with `dos_time`, and no
// Unix mode: the same members give the same bytes on any machine.
base::Result<std::vector<uint8_t>> zip_of(
    const std::vector<std::pair<std::string, std::string_view>> &members,
    uint32_t dos_time = kFixedDosTime);

}  // namespace formats
