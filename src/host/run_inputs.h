// The first step of a run: both files read and judged, the sizes printed, the layout fixed.
// A dry run goes through exactly the same step.
#pragma once

#include <cstdint>
#include <vector>

#include "input_files.h"
#include "input_sources.h"
#include "options.h"

namespace host {

struct Inputs {
    uint32_t image_length = 0;
    uint32_t tts_length = 0;  // as read, before rounding
    Layout layout;
    std::vector<InputFacts> facts;  // the package (when one was given), the image, the TTS file
};

// Reads IMAGE into img_file and TTS into tts_file, prints the size lines and explains on
// standard error whatever makes them unusable. Returns 0 when both are usable, else the exit
// status to end with. With a package, its members are the files (o's paths name them).
int load_inputs(const Options &o, Inputs &out, const PackageInputs *package = nullptr);

}  // namespace host
