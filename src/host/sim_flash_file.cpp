#include "sim_flash_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace host {

bool sim_flash_path_writable(const std::string &path, std::string &why) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        why = "it is a directory";
        return false;
    }
    const bool existed = std::filesystem::exists(path, ec);
    // "r+b" does not truncate a file that exists; "wb" creates one that does not.
    std::FILE *f = std::fopen(path.c_str(), existed ? "r+b" : "wb");
    if (f == nullptr) {
        why = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    if (!existed) {
        std::filesystem::remove(path, ec);
    }
    return true;
}

bool write_sim_flash(SimTransport &sim, const std::string &path) {
    return sim.with_device([&path](sim::SimDevice &device) {
        const std::vector<uint8_t> &bytes = device.flash().bytes();
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    });
}

}  // namespace host
