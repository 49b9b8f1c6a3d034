// Buffers the host fills from the two input files before a run. They live for the whole process;
// the engine borrows them and reads the TTS buffer, its length and the layout flag when it moves on
// from the image to the TTS data.
#pragma once

#include <cstdint>

constexpr uint32_t IMG_FILE_BUF_SIZE = 0x1FC000;  // 2,080,768 bytes
constexpr uint32_t TTS_FILE_BUF_SIZE = 0x40000;   // 262,144 bytes

extern uint8_t img_file[IMG_FILE_BUF_SIZE];
extern uint8_t tts_file[TTS_FILE_BUF_SIZE];
extern int tts_size;  // TTS length; rounded up to a multiple of 256 before the run starts
extern int is_1mb;    // 1 when the flash-size token begins with "1MB"
