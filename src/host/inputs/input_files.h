// Loading the two input files into their 0xFF-filled buffers, and the flash layout they get.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"

namespace host {

// Fills buf (capacity bytes) with 0xFF, then reads the whole regular file at its start, through
// the Env; the file's length. Never writes past the buffer: a larger file is refused before it
// is read. `what` ("image", "TTS") names the file in the refusal, which is a whole sentence
// ("cannot open image file 'x': No such file or directory"):
//   NotFound, PermissionDenied  it could not be opened
//   InvalidInput                it is no regular file (a directory, FIFO, device), or too large
//   Io                          it was opened but could not be read whole
base::Result<uint32_t> load_file(const std::string &path, const char *what, uint8_t *buf,
                                 uint32_t capacity);

// Reads the image into img_file, printing the open-failure line "Can't open image file ...!"
// the tool has always printed when it cannot be opened.
base::Result<uint32_t> read_img_file(const char *file_path);
// Reads the TTS file into tts_file, likewise (with the same line).
base::Result<uint32_t> read_tts_file(const char *file_path);

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
