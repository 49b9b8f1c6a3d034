// Loading the two input files into their 0xFF-filled buffers, and the flash layout they get.
#pragma once

#include <cstdint>
#include <string>

namespace host {

enum class LoadStatus {
    Ok,          // read whole (possibly empty)
    CannotOpen,  // missing, or no permission to open
    Directory,   // the path names a directory
    TooLarge,    // more bytes than the buffer holds: refused before reading
    ReadError,   // opened, but the read came up short
};

struct LoadResult {
    LoadStatus status = LoadStatus::CannotOpen;
    uint64_t length = 0;  // bytes read; for TooLarge, the file's size
    std::string reason;   // system error text for CannotOpen and ReadError
};

// Fills buf (capacity bytes) with 0xFF, then reads the whole file at its start. Never writes
// past the buffer: a larger file is refused before reading.
LoadResult load_file(const std::string &path, uint8_t *buf, uint32_t capacity);

// Reads the image into img_file (0 when it cannot be used), printing the open-failure line.
int read_img_file(const char *file_path, LoadResult *detail = nullptr);
// Reads the TTS file into tts_file, likewise.
int read_tts_file(const char *file_path, LoadResult *detail = nullptr);

// Flash layout of one run.
constexpr uint32_t kImageStart = 0x8000;  // first image byte programmed (buffer and flash)
constexpr uint32_t kTtsAddr1Mb = 0x80000;
constexpr uint32_t kTtsAddrOther = 0x180000;

struct Layout {
    uint32_t image_rounded = 0;  // image length rounded up to 256
    uint32_t image_program = 0;  // bytes of the image programmed, from flash kImageStart
    uint32_t tts_rounded = 0;    // TTS length rounded up to 256
    uint32_t tts_addr = 0;       // flash address of the TTS data
    bool is_1mb = false;
    bool overlap = false;  // the image's programmed range reaches into the TTS range
    // With overlap: the TTS data's sector erases come after the image was programmed and
    // checked, and replace its bytes from tts_addr to here: the TTS data up to
    // tts_addr + tts_rounded, then erased flash (0xFF). 0 without overlap.
    uint32_t replaced_end = 0;
};

uint32_t round_up_256(uint32_t n);
bool token_is_1mb(const std::string &token);
Layout compute_layout(uint32_t image_length, uint32_t tts_length, const std::string &token);

}  // namespace host
