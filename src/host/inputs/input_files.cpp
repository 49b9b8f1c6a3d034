#include "host/inputs/input_files.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "console/console.h"
#include "engine/iap.h"
#include "formats/shown_text.h"
#include "globals/iap_globals.h"
#include "host/inputs/file_reading.h"

namespace host {

base::Result<uint32_t> load_file(const std::string &path, const char *what, uint8_t *buf,
                                 uint32_t capacity) {
    using base::ErrorCode;
    const std::string name = formats::shown(path);
    std::memset(buf, 0xFF, capacity);
    base::Result<std::unique_ptr<File>> opened = open_regular(path);
    if (!opened.ok()) {
        if (opened.code() == ErrorCode::InvalidInput) {
            return base::Error(
                ErrorCode::InvalidInput,
                base::format("%s file '%s' %s", what, name.c_str(), opened.message().c_str()));
        }
        // Whatever kept it from opening, the file is not there to be read.
        const ErrorCode code = opened.code() == ErrorCode::PermissionDenied
                                   ? ErrorCode::PermissionDenied
                                   : ErrorCode::NotFound;
        return base::Error(code, base::format("cannot open %s file '%s': %s", what, name.c_str(),
                                              opened.message().c_str()));
    }
    File &file = **opened;
    const base::Result<uint64_t> size = file.size();
    if (!size.ok()) {
        return base::Error(ErrorCode::Io,
                           base::format("cannot read %s file '%s': %s", what, name.c_str(),
                                        system_reason(size.error()).c_str()));
    }
    if (*size > capacity) {
        return base::Error(
            ErrorCode::InvalidInput,
            base::format("%s file '%s' is %llu bytes, larger than the limit of %u "
                         "bytes",
                         what, name.c_str(), static_cast<unsigned long long>(*size), capacity));
    }
    const uint32_t length = static_cast<uint32_t>(*size);
    uint32_t done = 0;
    while (done < length) {
        const base::Result<size_t> got = file.read_at(done, buf + done, length - done);
        if (!got.ok()) {
            return base::Error(ErrorCode::Io,
                               base::format("cannot read %s file '%s': %s", what, name.c_str(),
                                            system_reason(got.error()).c_str()));
        }
        if (*got == 0) {
            return base::Error(ErrorCode::Io,
                               base::format("cannot read %s file '%s': file shrank while it was "
                                            "read",
                                            what, name.c_str()));
        }
        done += static_cast<uint32_t>(*got);
    }
    return length;
}

namespace {

base::Result<uint32_t> read_into(const char *file_path, const char *what, uint8_t *buf,
                                 uint32_t capacity) {
    base::Result<uint32_t> read = load_file(file_path, what, buf, capacity);
    if (!read.ok() && (read.code() == base::ErrorCode::NotFound ||
                       read.code() == base::ErrorCode::PermissionDenied)) {
        console_printf("Can't open image file %s!\r\n", file_path);
    }
    return read;
}

}  // namespace

base::Result<uint32_t> read_img_file(const char *file_path) {
    return read_into(file_path, "image", img_file, IMG_FILE_BUF_SIZE);
}

base::Result<uint32_t> read_tts_file(const char *file_path) {
    return read_into(file_path, "TTS", tts_file, TTS_FILE_BUF_SIZE);
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
