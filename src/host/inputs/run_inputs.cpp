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

// A file in a format explains its own refusal: the file, the line or segment, the reason.
bool judge_source(const SourceLoad &s, const char *what, const std::string &path, uint32_t limit,
                  const char *not_found_line, const std::string &forced_format) {
    if (s.legacy) {
        return judge(s.legacy_result, s.legacy_length, what, path, limit, not_found_line);
    }
    if (s.refusal.empty()) {
        return true;
    }
    std::string kind;
    formats::Format format = formats::Format::Raw;
    if (formats::parse_format_name(s.facts.format, format)) {
        kind = std::string(" (") + formats::format_title(format) + ")";
    }
    std::string hint;
    if (forced_format.empty() && !kind.empty() && format != formats::Format::Raw) {
        hint = std::string("; if it is raw data, ") +
               (std::string(what) == "image" ? "--format" : "--tts-format") +
               " raw takes it as such";
    }
    std::fprintf(stderr, "hidiap: %s file '%s'%s: %s%s\n", what, path.c_str(), kind.c_str(),
                 s.refusal.c_str(), hint.c_str());
    return false;
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
    std::fprintf(stderr,
                 "hidiap: note: image file '%s' has data at 0x%06llx-0x%06llx, below 0x%x: it is "
                 "not programmed, as for a raw image\n",
                 path.c_str(), static_cast<unsigned long long>(image.spans.front().begin),
                 static_cast<unsigned long long>(end), kImageStart);
}

}  // namespace

bool load_inputs(const InputRequest &o, Inputs &out, const PackageInputs *package) {
    // Both files are read before either is judged, as users of the tool have always seen.
    const uint32_t tts_addr = token_is_1mb(o.token) ? kTtsAddr1Mb : kTtsAddrOther;
    const SourceLoad image =
        load_source(InputRole::Image, o.image_path, package != nullptr ? &package->image : nullptr,
                    o.image_format, tts_addr);
    const SourceLoad tts =
        load_source(InputRole::Tts, o.tts_path, package != nullptr ? &package->tts : nullptr,
                    o.tts_format, tts_addr);
    if (!judge_source(image, "image", o.image_path, IMG_FILE_BUF_SIZE, "not found image file\r\n",
                      o.image_format) ||
        !judge_source(tts, "TTS", o.tts_path, TTS_FILE_BUF_SIZE, "not found tts file\r\n",
                      o.tts_format)) {
        return false;
    }
    for (const SourceLoad *s : {&image, &tts}) {
        for (const std::string &note : s->notes) {
            std::fprintf(stderr, "hidiap: note: %s file '%s': %s\n", s->facts.role.c_str(),
                         s->facts.name.c_str(), note.c_str());
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
    if (out.layout.overlap) {
        // Nothing writes the image's bytes under the TTS data's sectors again: the flash holds
        // these, and --verify, --skip-unchanged and the station compare with them.
        const Layout &l = out.layout;
        const uint32_t tts_end = l.tts_addr + l.tts_rounded;
        std::fprintf(stderr,
                     "hidiap: warning: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; the TTS data is programmed last and wins: its "
                     "sectors replace the image's bytes 0x%06x-0x%06x",
                     kImageStart, kImageStart + l.image_program, l.tts_addr, tts_end, l.tts_addr,
                     l.replaced_end);
        if (l.replaced_end > tts_end) {
            std::fprintf(stderr, " (0x%06x-0x%06x left erased)", tts_end, l.replaced_end);
        }
        std::fputs("\n", stderr);
    }
    use_layout(out.layout);
    return true;
}

void use_layout(const Layout &layout) {
    tts_size = static_cast<int>(layout.tts_rounded);
    is_1mb = layout.is_1mb ? 1 : 0;
}

}  // namespace host
