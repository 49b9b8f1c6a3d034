#include "zip_members.h"

#include <zip.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace test_support {

std::vector<uint8_t> zip_of(const std::vector<ZipMember> &members, const std::string &scratch) {
    zipFile zip = zipOpen64(scratch.c_str(), APPEND_STATUS_CREATE);
    for (const ZipMember &m : members) {
        zip_fileinfo info{};
        zipOpenNewFileInZip64(zip, m.first.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0);
        zipWriteInFileInZip(zip, m.second.data(), static_cast<unsigned>(m.second.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
    std::ifstream in(scratch, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    std::remove(scratch.c_str());
    return bytes;
}

std::vector<uint8_t> bytes_of(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace test_support
