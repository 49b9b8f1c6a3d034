#include "host/app/console_window.h"

#include <cstdio>
#include <string>

#include "host/events/exit_status.h"
#include "host/platform/platform.h"

namespace host {

namespace {

// Positional arguments are taken in order, so a missing TOKEN means fewer than three.
bool arguments_missing(const ParseResult &parsed) {
    return parsed.kind == ParseResult::Kind::Exit && parsed.exit_status == kExitBadInput &&
           parsed.options.token.empty();
}

// The reason for a run that ended before its outcome line, which alone says why.
const char *why_it_ended(int exit_status) {
    switch (exit_status) {
        case kExitBadInput:
            return "hidiap: refused (exit status 2): nothing was sent to the device\n";
        case kExitNoDevice:
            return "hidiap: no device to update was found (exit status 3)\n";
        default:
            return nullptr;
    }
}

// What the three arguments are and how a shortcut passes them. `program` is the program's own
// path, the shortcut's target; the files given so far go into the example.
std::string explain_arguments(const Options &given, const std::string &program) {
    const std::string image = given.image_path.empty() ? "C:\\fw\\image.bin" : given.image_path;
    const std::string tts = given.tts_path.empty() ? "C:\\fw\\tts.bin" : given.tts_path;
    return "hidiap.exe needs three arguments:\n"
           "  IMAGE  the firmware image file (raw, Intel HEX, S-record or ELF)\n"
           "  TTS    the TTS data file\n"
           "  TOKEN  the flash size: 1MB or 2MB\n"
           "or one firmware package (.zip, written by hidiap --make-package), which holds all\n"
           "three: drag the package onto hidiap.exe and the update runs.\n"
           "Dragging an image file cannot pass the TOKEN. Make a shortcut instead:\n"
           "right-click hidiap.exe, Create shortcut; in the shortcut's Properties set Target to\n"
           "  \"" +
           program + "\" \"" + image + "\" \"" + tts +
           "\" 1MB\n"
           "with your files and flash size, then double-click the shortcut.\n";
}

}  // namespace

void end_in_own_console(const ParseResult &parsed, const char *program, int exit_status) {
    if (!owns_console_alone()) {
        return;
    }
    if (arguments_missing(parsed)) {
        std::fputs(
            explain_arguments(parsed.options, program != nullptr ? program : "hidiap.exe").c_str(),
            stderr);
    } else if (const char *why = why_it_ended(exit_status); why != nullptr) {
        std::fputs(why, stderr);
    }
    std::fflush(stderr);
    if (!waited_for_enter() && !parsed.options.no_wait) {
        wait_for_enter();
    }
}

}  // namespace host
