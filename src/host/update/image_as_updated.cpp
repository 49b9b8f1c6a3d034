#include "host/update/image_as_updated.h"

#include <algorithm>

#include "globals/iap_globals.h"

namespace host {

std::vector<uint8_t> image_as_updated(const Layout &layout) {
    std::vector<uint8_t> image(img_file, img_file + IMG_FILE_BUF_SIZE);
    const ReplacedBytes r = replaced_bytes(layout);
    if (r.to > r.from) {
        std::fill(image.begin() + r.from, image.begin() + r.to, 0xFF);
        std::copy(tts_file, tts_file + (r.data_end - r.from), image.begin() + r.from);
    }
    return image;
}

bool compares_with_image_as_updated(const Layout &layout, const UpdateSettings &settings) {
    return layout.overlap && (settings.verify || settings.skip_unchanged);
}

ReplacedBytes replaced_bytes(const Layout &layout) {
    ReplacedBytes r;
    if (!layout.overlap || layout.replaced_end <= layout.tts_addr) {
        return r;
    }
    r.from = layout.tts_addr;
    r.to = layout.replaced_end;
    r.data_end = std::min(layout.tts_addr + layout.tts_rounded, r.to);
    return r;
}

}  // namespace host
