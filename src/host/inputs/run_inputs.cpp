#include "host/inputs/run_inputs.h"

#include <cstdio>
#include <string>

#include "base/text.h"
#include "console/console.h"
#include "formats/shown_text.h"
#include "globals/iap_globals.h"
#include "host/platform/error_lines.h"

namespace host {

namespace {

using formats::shown;

// Explains a file the tool cannot use. One that could not be opened or is empty is followed by
// the "not found" line the tool has always printed; other refusals have only the explanation.
base::Status judge(const base::Result<SourceLoad> &loaded, const char *not_found_line) {
    if (loaded.ok()) {
        return {};
    }
    error_printf("hidiap: %s\n", loaded.message().c_str());
    if (loaded.code() == base::ErrorCode::NotFound ||
        loaded.code() == base::ErrorCode::PermissionDenied) {
        console_printf("%s", not_found_line);
    }
    return loaded.error();
}

void warn_about_token(const std::string &token) {
    if (token.compare(0, 3, "1MB") != 0 && token.compare(0, 3, "2MB") != 0) {
        error_printf(
            "hidiap: warning: the token '%s' begins with neither 1MB nor 2MB; the TTS "
            "data goes to 0x%x as for any token but 1MB\n",
            shown(token).c_str(), kTtsAddrOther);
    }
}

// Image data below the first programmed address is read but not programmed.
void note_unprogrammed(const SourceLoad &image, const std::string &path) {
    if (image.facts.format == "raw" || image.spans.empty() ||
        image.spans.front().begin >= kImageStart) {
        return;
    }
    uint64_t end = 0;
    for (const formats::Span &span : image.spans) {
        if (span.begin < kImageStart) {
            end = span.end < kImageStart ? span.end : kImageStart;
        }
    }
    error_printf(
        "hidiap: note: image file '%s' has data at 0x%06llx-0x%06llx, below 0x%x: it is "
        "not programmed, as for a raw image\n",
        shown(path).c_str(), static_cast<unsigned long long>(image.spans.front().begin),
        static_cast<unsigned long long>(end), kImageStart);
}

}  // namespace

base::Status load_inputs(const InputRequest &o, Inputs &out, const PackageInputs *package) {
    // Both files are read before either is judged, as users of the tool have always seen.
    const uint32_t tts_addr = token_is_1mb(o.token) ? kTtsAddr1Mb : kTtsAddrOther;
    const base::Result<SourceLoad> loaded_image =
        load_source(InputRole::Image, o.image_path, package != nullptr ? &package->image : nullptr,
                    o.image_format, tts_addr);
    const base::Result<SourceLoad> loaded_tts =
        load_source(InputRole::Tts, o.tts_path, package != nullptr ? &package->tts : nullptr,
                    o.tts_format, tts_addr);
    if (base::Status usable = judge(loaded_image, "not found image file\r\n"); !usable.ok()) {
        return usable;
    }
    if (base::Status usable = judge(loaded_tts, "not found tts file\r\n"); !usable.ok()) {
        return usable;
    }
    const SourceLoad &image = *loaded_image;
    const SourceLoad &tts = *loaded_tts;
    for (const SourceLoad *s : {&image, &tts}) {
        for (const std::string &note : s->notes) {
            error_printf("hidiap: note: %s file '%s': %s\n", s->facts.role.c_str(),
                         shown(s->facts.name).c_str(), note.c_str());
        }
    }
    note_unprogrammed(image, o.image_path);
    const int image_length = static_cast<int>(image.length);
    const int tts_length = static_cast<int>(tts.length);
    if (package != nullptr) {
        out.facts.push_back(package->facts);
    }
    out.facts.push_back(image.facts);
    out.facts.push_back(tts.facts);
    console_printf("OTA file size is %d\r\n", image_length);
    console_printf("TTS file size is %d\r\n", tts_length);
    if (static_cast<uint32_t>(image_length) <= kImageStart) {
        const std::string why = base::format(
            "image file '%s' is %d bytes; it must be larger than %u bytes (0x%x), because the "
            "image is programmed from that offset on",
            shown(o.image_path).c_str(), image_length, kImageStart, kImageStart);
        error_printf("hidiap: %s\n", why.c_str());
        return base::Error(base::ErrorCode::InvalidInput, why);
    }
    warn_about_token(o.token);
    out.image_length = static_cast<uint32_t>(image_length);
    out.tts_length = static_cast<uint32_t>(tts_length);
    out.layout = compute_layout(out.image_length, out.tts_length, o.token);
    if (out.layout.overlap) {
        // Nothing writes the image's bytes under the TTS data's sectors again: the flash holds
        // these, and --verify, --skip-unchanged and the station compare with them.
        const Layout &l = out.layout;
        const uint32_t tts_end = l.tts_addr + l.tts_rounded;
        error_printf(
            "hidiap: warning: the image range 0x%06x-0x%06x and the TTS range "
            "0x%06x-0x%06x overlap; the TTS data is programmed last and wins: its "
            "sectors replace the image's bytes 0x%06x-0x%06x",
            kImageStart, kImageStart + l.image_program, l.tts_addr, tts_end, l.tts_addr,
            l.replaced_end);
        if (l.replaced_end > tts_end) {
            error_printf(" (0x%06x-0x%06x left erased)", tts_end, l.replaced_end);
        }
        error_write("\n");
    }
    use_layout(out.layout);
    return {};
}

void use_layout(const Layout &layout) {
    tts_size = static_cast<int>(layout.tts_rounded);
    is_1mb = layout.is_1mb ? 1 : 0;
}

}  // namespace host
