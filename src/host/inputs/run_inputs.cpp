#include "host/inputs/run_inputs.h"

#include <cstdio>
#include <string>

#include "console/console.h"
#include "globals/iap_globals.h"

namespace host {

namespace {

// Explains a file the tool cannot use; false when the file is unusable.
bool usable(const LoadResult &r, const char *what, const std::string &path, uint32_t limit) {
    switch (r.status) {
        case LoadStatus::Ok:
            if (r.length == 0) {
                std::fprintf(stderr, "hidiap: %s file '%s' is empty\n", what, path.c_str());
                return false;
            }
            return true;
        case LoadStatus::CannotOpen:
            std::fprintf(stderr, "hidiap: cannot open %s file '%s': %s\n", what, path.c_str(),
                         r.reason.c_str());
            return false;
        case LoadStatus::Directory:
            std::fprintf(stderr, "hidiap: %s file '%s' is a directory, not a file\n", what,
                         path.c_str());
            return false;
        case LoadStatus::TooLarge:
            std::fprintf(stderr,
                         "hidiap: %s file '%s' is %llu bytes, larger than the limit of %u bytes\n",
                         what, path.c_str(), static_cast<unsigned long long>(r.length), limit);
            return false;
        case LoadStatus::ReadError:
            std::fprintf(stderr, "hidiap: cannot read %s file '%s': %s\n", what, path.c_str(),
                         r.reason.c_str());
            return false;
    }
    return false;
}

// The traditional "not found" line comes after the explanation for a file that could not be
// opened or was empty; other refusals have only the explanation.
bool judge(const LoadResult &r, int length, const char *what, const std::string &path,
           uint32_t limit, const char *not_found_line) {
    const bool found = r.status == LoadStatus::Ok || r.status == LoadStatus::CannotOpen;
    if (!found) {
        return usable(r, what, path, limit);
    }
    if (length == 0) {
        usable(r, what, path, limit);
        console_printf("%s", not_found_line);
        return false;
    }
    return true;
}

void warn_about_token(const std::string &token) {
    if (token.compare(0, 3, "1MB") != 0 && token.compare(0, 3, "2MB") != 0) {
        std::fprintf(stderr,
                     "hidiap: warning: the token '%s' begins with neither 1MB nor 2MB; the TTS "
                     "data goes to 0x%x as for any token but 1MB\n",
                     token.c_str(), kTtsAddrOther);
    }
}

}  // namespace

bool load_inputs(const InputRequest &o, Inputs &out) {
    // Both files are read before either is judged, as users of the tool have always seen.
    LoadResult image_load;
    LoadResult tts_load;
    const int image_length = read_img_file(o.image_path.c_str(), &image_load);
    const int tts_length = read_tts_file(o.tts_path.c_str(), &tts_load);
    if (!judge(image_load, image_length, "image", o.image_path, IMG_FILE_BUF_SIZE,
               "not found image file\r\n") ||
        !judge(tts_load, tts_length, "TTS", o.tts_path, TTS_FILE_BUF_SIZE,
               "not found tts file\r\n")) {
        return false;
    }
    console_printf("OTA file size is %d\r\n", image_length);
    console_printf("TTS file size is %d\r\n", tts_length);
    if (static_cast<uint32_t>(image_length) <= kImageStart) {
        std::fprintf(stderr,
                     "hidiap: image file '%s' is %d bytes; it must be larger than %u bytes "
                     "(0x%x), because the image is programmed from that offset on\n",
                     o.image_path.c_str(), image_length, kImageStart, kImageStart);
        return false;
    }
    warn_about_token(o.token);
    out.image_length = static_cast<uint32_t>(image_length);
    out.tts_length = static_cast<uint32_t>(tts_length);
    out.layout = compute_layout(out.image_length, out.tts_length, o.token);
    if (out.layout.overlap && o.skip_unchanged) {
        // Each range is surveyed before it is programmed; the TTS data would overwrite sectors
        // the image's survey found unchanged, and the image's check would no longer hold.
        std::fprintf(stderr,
                     "hidiap: --skip-unchanged: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; run without --skip-unchanged\n",
                     kImageStart, kImageStart + out.layout.image_program, out.layout.tts_addr,
                     out.layout.tts_addr + out.layout.tts_rounded);
        return false;
    }
    if (out.layout.overlap) {
        std::fprintf(stderr,
                     "hidiap: warning: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; the TTS data is programmed last and wins\n",
                     kImageStart, kImageStart + out.layout.image_program, out.layout.tts_addr,
                     out.layout.tts_addr + out.layout.tts_rounded);
    }
    use_layout(out.layout);
    return true;
}

void use_layout(const Layout &layout) {
    tts_size = static_cast<int>(layout.tts_rounded);
    is_1mb = layout.is_1mb ? 1 : 0;
}

}  // namespace host
