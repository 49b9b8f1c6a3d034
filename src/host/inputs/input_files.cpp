#include "host/inputs/input_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "console/console.h"
#include "engine/iap.h"
#include "globals/iap_globals.h"

namespace host {

LoadResult load_file(const std::string &path, uint8_t *buf, uint32_t capacity) {
    LoadResult r;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        r.status = LoadStatus::Directory;
        return r;
    }
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        r.status = LoadStatus::CannotOpen;
        r.reason = std::strerror(errno);
        return r;
    }
    std::memset(buf, 0xFF, capacity);
    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        length = std::ftell(f);
    }
    if (length < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        r.status = LoadStatus::ReadError;
        r.reason = std::strerror(errno);
        std::fclose(f);
        return r;
    }
    r.length = static_cast<uint64_t>(length);
    if (r.length > capacity) {
        r.status = LoadStatus::TooLarge;
        std::fclose(f);
        return r;
    }
    const size_t got = std::fread(buf, 1, static_cast<size_t>(length), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || got != static_cast<size_t>(length)) {
        r.status = LoadStatus::ReadError;
        r.reason = failed ? std::strerror(errno) : "file shrank while it was read";
        return r;
    }
    r.status = LoadStatus::Ok;
    return r;
}

namespace {

int read_into(const char *file_path, uint8_t *buf, uint32_t capacity, LoadResult *detail) {
    LoadResult r = load_file(file_path, buf, capacity);
    if (r.status == LoadStatus::CannotOpen) {
        console_printf("Can't open image file %s!\r\n", file_path);
    }
    if (detail != nullptr) {
        *detail = r;
    }
    return r.status == LoadStatus::Ok ? static_cast<int>(r.length) : 0;
}

}  // namespace

int read_img_file(const char *file_path, LoadResult *detail) {
    return read_into(file_path, img_file, IMG_FILE_BUF_SIZE, detail);
}

int read_tts_file(const char *file_path, LoadResult *detail) {
    return read_into(file_path, tts_file, TTS_FILE_BUF_SIZE, detail);
}

uint32_t round_up_256(uint32_t n) {
    return (n + 255u) & ~255u;
}

bool token_is_1mb(const std::string &token) {
    return token.compare(0, 3, "1MB") == 0;
}

Layout compute_layout(uint32_t image_length, uint32_t tts_length, const std::string &token) {
    Layout l;
    l.is_1mb = token_is_1mb(token);
    l.image_rounded = round_up_256(image_length);
    l.image_program = l.image_rounded > kImageStart ? l.image_rounded - kImageStart : 0;
    l.tts_rounded = round_up_256(tts_length);
    l.tts_addr = l.is_1mb ? kTtsAddr1Mb : kTtsAddrOther;
    const uint64_t image_end = static_cast<uint64_t>(kImageStart) + l.image_program;
    const uint64_t tts_end = static_cast<uint64_t>(l.tts_addr) + l.tts_rounded;
    l.overlap = l.image_program != 0 && l.tts_rounded != 0 && image_end > l.tts_addr &&
                tts_end > kImageStart;
    if (l.overlap) {
        const uint64_t sectors_end =
            (tts_end + IAP_SECTOR_SIZE - 1) / IAP_SECTOR_SIZE * IAP_SECTOR_SIZE;
        l.replaced_end = static_cast<uint32_t>(std::min(image_end, sectors_end));
    }
    return l;
}

}  // namespace host
