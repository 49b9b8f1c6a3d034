#include "host/sim/sim_flash_file.h"

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

bool write_sim_flash(Transport &device, const std::string &path) {
    SimTransport *sim = sim_transport_of(device);
    if (sim == nullptr) {
        return false;
    }
    return sim->with_device([&path](sim::SimDevice &device) {
        const std::vector<uint8_t> &bytes = device.flash().bytes();
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    });
}

bool read_sim_flash(Transport &device, const std::string &path) {
    SimTransport *sim = sim_transport_of(device);
    if (sim == nullptr) {
        return false;
    }
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    std::vector<uint8_t> content(sim::FlashModel::kSize + 1, sim::FlashModel::kErased);
    const size_t n = std::fread(content.data(), 1, content.size(), f);
    const bool ok = std::ferror(f) == 0 && n <= sim::FlashModel::kSize;
    std::fclose(f);
    if (!ok) {
        return false;
    }
    return sim->with_device([&content](sim::SimDevice &device) {
        sim::FlashModel &flash = device.flash();
        flash.unlock();
        for (uint32_t s = 0; s < sim::FlashModel::kSize; s += sim::FlashModel::kSectorSize) {
            flash.erase_sector(s);
            flash.program(s, content.data() + s, sim::FlashModel::kSectorSize);
        }
        flash.lock();
        return true;
    });
}

std::string per_device_path(const std::string &path, const std::string &serial) {
    const size_t slash = path.find_last_of("/\\");
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name) {
        return path + "." + serial;
    }
    return path.substr(0, dot) + "." + serial + path.substr(dot);
}

}  // namespace host
