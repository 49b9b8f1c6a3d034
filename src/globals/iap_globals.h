// The long-lived objects of the tool: the buffers the input files are loaded into, the TTS length
// and layout flag the engine reads when it moves on to the TTS data, and the engine record of the
// first (usually only) device. They live for the whole process. Filled by the inputs step
// (host/inputs/run_inputs.h) and the device session (host/update/device_session.h) only.
#pragma once

#include <cstdint>

#include "engine/iap.h"

constexpr uint32_t IMG_FILE_BUF_SIZE = 0x1FC000;          // 2,080,768 bytes
constexpr uint32_t TTS_FILE_BUF_SIZE = IAP_TTS_BUF_SIZE;  // 262,144 bytes

extern uint8_t img_file[IMG_FILE_BUF_SIZE];
// tts_file, tts_size (rounded up to a multiple of 256 before the run starts) and is_1mb (1 when
// the flash-size token begins with "1MB") are declared by the engine, which reads them.

extern iap_env_t iap;  // the engine record of the first (usually only) device
