// The first step of a run: both files read and judged, the sizes printed, the layout fixed and
// the engine's globals filled. A dry run goes through exactly the same step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/inputs/input_files.h"
#include "host/inputs/input_sources.h"

namespace host {

// What the command line says about the inputs.
struct InputRequest {
    std::string image_path;
    std::string tts_path;
    std::string token;
    std::string image_format;  // raw, ihex, srec, elf; "" to tell from the content
    std::string tts_format;
};

struct Inputs {
    uint32_t image_length = 0;
    uint32_t tts_length = 0;  // as read, before rounding
    Layout layout;
    std::vector<InputFacts> facts;  // the package (when one was given), the image, the TTS file
};

// Reads IMAGE into img_file and TTS into tts_file, prints the size lines and explains on
// standard error whatever makes them unusable (refused, with that explanation). When both are
// usable, fills the engine's TTS length and layout flag (use_layout). With a package, its
// members are the files (the request's paths name them).
base::Status load_inputs(const InputRequest &request, Inputs &out,
                         const PackageInputs *package = nullptr);

// Sets tts_size and is_1mb, the globals the engine reads when it moves on to the TTS data, for
// the layout; the one place they are written.
void use_layout(const Layout &layout);

}  // namespace host
