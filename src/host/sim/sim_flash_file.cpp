#include "host/sim/sim_flash_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/platform/env.h"

namespace host {

base::Status sim_flash_path_writable(const std::string &path) {
    Env &e = env();
    base::Result<FileFacts> facts = e.stat(path);
    if (!facts.ok()) {
        return facts.error();
    }
    // A regular file is put in its place: a device node or FIFO must never be replaced so.
    if (facts->kind != FileKind::Missing && facts->kind != FileKind::Regular) {
        return base::Error(base::ErrorCode::InvalidInput,
                           std::string("it is ") + file_kind_words(facts->kind));
    }
    uint8_t random[4] = {};
    (void)e.random_bytes(random, sizeof random);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".probe-%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3]);
    const std::string probe = path + suffix;
    base::Result<std::unique_ptr<File>> made = e.open(probe, OpenMode::CreateNew);
    if (!made.ok()) {
        return made.error();
    }
    made->reset();
    return e.remove(probe);
}

base::Result<std::string> read_sim_flash(const std::string &path) {
    return read_file(path, sim::FlashModel::kSize);
}

void load_sim_flash(SimTransport &board, const std::string &content) {
    std::vector<uint8_t> bytes(sim::FlashModel::kSize, sim::FlashModel::kErased);
    std::memcpy(bytes.data(), content.data(), std::min(content.size(), bytes.size()));
    board.with_device([&bytes](sim::SimDevice &device) {
        sim::FlashModel &flash = device.flash();
        flash.unlock();
        for (uint32_t s = 0; s < sim::FlashModel::kSize; s += sim::FlashModel::kSectorSize) {
            flash.erase_sector(s);
            flash.program(s, bytes.data() + s, sim::FlashModel::kSectorSize);
        }
        flash.lock();
    });
}

base::Status write_sim_flash(SimTransport &board, const std::string &path) {
    const std::string bytes = board.with_device([](sim::SimDevice &device) {
        const std::vector<uint8_t> &flash = device.flash().bytes();
        return std::string(reinterpret_cast<const char *>(flash.data()), flash.size());
    });
    return write_file_atomically(path, bytes);
}

std::string per_device_path(const std::string &path, const std::string &name) {
    const size_t slash = path.find_last_of("/\\");
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= base) {
        return path + "." + name;
    }
    return path.substr(0, dot) + "." + name + path.substr(dot);
}

}  // namespace host
