// The image as the flash holds it after an update whose ranges overlap. The image range is
// programmed and checked first; then the TTS data's sector erases and writes replace part of it,
// and nothing writes those image bytes again. A check of the image range against the file would
// therefore find every updated device differing: --verify, --skip-unchanged and the station's
// check compare with this instead. A full update still programs the file's own bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "host/events/outcome.h"
#include "host/inputs/input_files.h"
#include "host/update/update_settings.h"

namespace host {

// The image buffer (img_file) with the TTS data's sectors laid over it, as the layout places
// them: erased, then the TTS data (tts_file) from the TTS address on.
std::vector<uint8_t> image_as_updated(const Layout &layout);

// Whether a run compares the image range with image_as_updated() rather than with the file.
bool compares_with_image_as_updated(const Layout &layout, const UpdateSettings &settings);

// The image bytes the layout's TTS sectors replace, for a device's report; none without overlap.
ReplacedBytes replaced_bytes(const Layout &layout);

}  // namespace host
