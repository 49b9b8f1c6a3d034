// The update as a web page drives it: the tool's own inputs step, engine runner, observer and
// outcome words, fed by the browser's single event loop instead of threads. The page hands over
// each input report, each 10 ms tick and the loss of the device; frames, console text and
// progress go back to it through the functions it installs on the module (web/hidiap.js).
#include <emscripten.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "globals/iap_globals.h"
#include "host/events/exit_status.h"
#include "host/events/outcome.h"
#include "host/events/run_events.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/package_trust.h"
#include "host/inputs/run_inputs.h"
#include "host/link/transport.h"
#include "host/run/engine_runner.h"
#include "host/run/observed_transport.h"
#include "host/run/run_observer.h"
#include "host/run/run_report.h"

// clang-format off
EM_JS(void, js_send_report, (const uint8_t *report, int len), {
    Module.hidiapHooks.send(HEAPU8.slice(report, report + len));
});
EM_JS(void, js_console, (const char *text, int len), {
    Module.hidiapHooks.console(UTF8ToString(text, len));
});
EM_JS(void, js_phase, (const char *phase, const char *file), {
    Module.hidiapHooks.phase(UTF8ToString(phase), UTF8ToString(file));
});
EM_JS(void, js_progress, (double done, double total), {
    Module.hidiapHooks.progress(done, total);
});
// clang-format on

namespace {

using Clock = std::chrono::steady_clock;

// Frames go to the page, which sends them with HIDDevice.sendReport in the order written. The
// page learns of a failed send only later; a device that went away ends the run through its
// disconnect event instead.
class PageTransport : public host::Transport {
  public:
    int write(const uint8_t *report, size_t len) override {
        js_send_report(report, static_cast<int>(len));
        return static_cast<int>(len);
    }
    int read(uint8_t *, size_t, int) override { return 0; }  // answers are pushed, not read
    bool product_string(std::wstring &) override { return false; }
};

class PageEvents : public host::RunEvents {
  public:
    void phase(const char *phase, const char *file) override { js_phase(phase, file); }
    void progress(uint64_t done, uint64_t total) override {
        js_progress(static_cast<double>(done), static_cast<double>(total));
    }
};

struct Run {
    explicit Run(const host::Layout &layout)
        : observer(events, uint64_t{layout.image_program} + layout.tts_rounded),
          observed(transport, observer),
          runner(observed, iap) {}

    PageTransport transport;
    PageEvents events;
    host::RunObserver observer;
    host::ObservedTransport observed;
    host::EngineRunner runner;
    Clock::time_point started{};
    bool reported = false;
};

void to_page(std::string_view text) {
    js_console(text.data(), static_cast<int>(text.size()));
}

// The console text of the module goes to the page for its whole life.
const ConsoleSinkScope page_console(to_page);

host::Inputs inputs;
std::string token;
formats::Manifest manifest;  // of the loaded package; empty for loose files
std::unique_ptr<Run> run;
bool not_started = false;  // the device was refused before the engine started
host::RunReport report;    // of the run that ended last
std::string outcome;

// What a run does with the device: the tool's plain update, its --verify, or its
// --skip-unchanged update (each range surveyed first; only the sectors that differ are written).
enum RunKind { kUpdate = 0, kVerify = 1, kUpdateChanged = 2 };

void ended(const host::RunReport &r) {
    report = r;
    outcome = host::outcome_line(r);
}

}  // namespace

extern "C" {

// Reads the inputs from the module's file system, exactly as the tool reads them from disk: the
// same size lines, the same refusals on standard error. package: "" or the path of a firmware
// package, whose members and token are then the inputs. Returns 0 when the update can start,
// else the tool's exit status for the refusal.
EMSCRIPTEN_KEEPALIVE int hidiap_web_load(const char *image, const char *tts, const char *package,
                                         const char *given_token) {
    run.reset();
    inputs = host::Inputs{};
    host::InputRequest request;
    request.image_path = image;
    request.tts_path = tts;
    request.token = given_token;
    manifest = formats::Manifest{};
    // The vendor's keys built into the page (scripts/build-web.sh --trust and --revoke), which
    // hidiap.js puts in these folders: with one trusted, only packages it signed run, and a
    // revoked key's signature is refused, as with the tool's --trust and --revoke.
    base::Result<std::vector<host::TrustedKey>> trusted_keys =
        host::load_trusted_keys({}, "/trusted-keys");
    base::Result<std::vector<host::TrustedKey>> revoked_keys =
        trusted_keys.ok() ? host::load_trusted_keys({}, "/revoked-keys", "revoked") : trusted_keys;
    if (!trusted_keys.ok() || !revoked_keys.ok()) {
        std::fprintf(stderr, "hidiap: %s; nothing was sent\n",
                     (trusted_keys.ok() ? revoked_keys : trusted_keys).message().c_str());
        return host::kExitBadInput;
    }
    host::PackageKeys keys{std::move(*trusted_keys), std::move(*revoked_keys)};
    const std::vector<host::TrustedKey> &trusted = keys.trusted;
    host::PackageInputs from_package;
    const bool packaged = *package != '\0';
    if (!packaged && !trusted.empty()) {
        std::fputs(host::loose_files_refusal(trusted).c_str(), stderr);
        return host::kExitBadInput;
    }
    if (packaged) {
        if (!host::read_package_file(package, from_package, keys)) {
            return host::kExitBadInput;
        }
        // As the tool does: the members are named by package:member, the token is the manifest's.
        manifest = from_package.manifest;
        request.image_path = std::string(package) + ":" + manifest.image_name;
        request.tts_path = std::string(package) + ":" + manifest.tts_name;
        request.token = manifest.token;
    }
    token = request.token;
    if (!host::load_inputs(request, inputs, packaged ? &from_package : nullptr)) {
        return host::kExitBadInput;
    }
    return 0;
}

// The token the loaded inputs are laid out for (the package's, for a package).
EMSCRIPTEN_KEEPALIVE const char *hidiap_web_token() {
    return token.c_str();
}

// The product a package is for, or "" when any product may be updated.
EMSCRIPTEN_KEEPALIVE const char *hidiap_web_expected_product() {
    return manifest.product.c_str();
}

// The firmware version a package's manifest gives, or "".
EMSCRIPTEN_KEEPALIVE const char *hidiap_web_firmware_version() {
    return manifest.firmware_version.c_str();
}

// The vendor and product IDs a package is for, or -1 when it names none.
EMSCRIPTEN_KEEPALIVE int hidiap_web_package_vendor_id() {
    return manifest.has_ids ? manifest.vendor_id : -1;
}

EMSCRIPTEN_KEEPALIVE int hidiap_web_package_product_id() {
    return manifest.has_ids ? manifest.product_id : -1;
}

// 1 when the loaded image reaches into the TTS range. The tool's survey of such a layout compares
// with the image as an update leaves the flash (its update layer, which the page does not
// have); the page gives it a plain update instead.
EMSCRIPTEN_KEEPALIVE int hidiap_web_layout_overlaps() {
    return inputs.layout.overlap ? 1 : 0;
}

// Starts a run of the given kind (RunKind) with the loaded inputs on the device the page opened;
// product_name: its product string, printed as the tool prints it ("" for none).
EMSCRIPTEN_KEEPALIVE void hidiap_web_start(const char *product_name, int kind) {
    if (*product_name != '\0') {
        console_printf("Product String     : %s\n", product_name);
    }
    // A device of another product than the package's is left alone, as the tool leaves it.
    not_started = false;
    if (const std::string why = host::product_refusal(manifest.product, product_name);
        !why.empty()) {
        ended(host::wrong_product_report(
            why, uint64_t{inputs.layout.image_program} + inputs.layout.tts_rounded));
        not_started = true;
        run.reset();
        return;
    }
    run = std::make_unique<Run>(inputs.layout);
    // As the tool's options do: --skip-unchanged sends no blank page either.
    host::prepare_record(iap, img_file, IMG_FILE_BUF_SIZE, kind == kUpdateChanged,
                         kind == kUpdateChanged);
    run->runner.set_observer(
        [r = run.get()](const iap_env_t &record) { r->observer.on_record(record); });
    run->started = Clock::now();
    if (kind == kVerify) {
        run->runner.verify(host::kImageStart, inputs.layout.image_program, host::kImageStart);
    } else {
        run->runner.start(host::kImageStart, inputs.layout.image_program, host::kImageStart);
    }
}

// One input report: its ID and its data (the bytes after the ID), as the inputreport event
// gives them. The engine gets the data, as the tool's reader gives it the bytes after the ID.
EMSCRIPTEN_KEEPALIVE void hidiap_web_answer(int report_id, const uint8_t *data, int len) {
    if (!run) {
        return;
    }
    uint8_t report[host::kReportSize + 1] = {static_cast<uint8_t>(report_id)};
    const int n = len < 0 ? 0 : (len > static_cast<int>(host::kReportSize) ? 64 : len);
    std::memcpy(report + 1, data, static_cast<size_t>(n));
    run->observer.on_report_received(report, n + 1);
    run->runner.on_answer(report + 1, n);
}

EMSCRIPTEN_KEEPALIVE void hidiap_web_tick() {
    if (run) {
        run->runner.on_tick();
    }
}

// The device went away (disconnect event, or a send that failed because it is gone).
EMSCRIPTEN_KEEPALIVE void hidiap_web_device_lost() {
    if (run) {
        run->observer.on_report_received(nullptr, -1);
        run->runner.on_device_lost();
    }
}

// A report the device did not take (sendReport failed): dumped as the tool dumps a failed
// write, while the run goes on.
EMSCRIPTEN_KEEPALIVE void hidiap_web_write_failed(const uint8_t *report, int len) {
    if (run && !run->reported) {
        dump_hex(report, len, 16);
    }
}

// 1 once the run is over; its outcome line and exit status are then fixed. The first call
// that finds it over reports it, as the tool does when its wait for the outcome returns.
EMSCRIPTEN_KEEPALIVE int hidiap_web_poll() {
    if (not_started) {
        return 1;
    }
    if (!run) {
        return 0;
    }
    if (run->reported) {
        return 1;
    }
    const std::optional<host::Outcome> over = run->runner.outcome_if_over();
    if (!over) {
        return 0;
    }
    run->runner.halt();
    run->reported = true;
    const double seconds = std::chrono::duration<double>(Clock::now() - run->started).count();
    ended(host::make_run_report(run->observer.facts(), *over, 0, seconds));
    // A device that went away ends before the engine's own time-out line; the tool prints it
    // then, so that the console lines end with an outcome all the same.
    if (*over == host::Outcome::Disconnected) {
        console_printf("IAP_EVT_CMD_RX_TIMEOUT\r\n");
    }
    return 1;
}

EMSCRIPTEN_KEEPALIVE const char *hidiap_web_outcome_line() {
    return outcome.c_str();
}

EMSCRIPTEN_KEEPALIVE int hidiap_web_exit_status() {
    return report.exit_status;
}

// The run's status and cause in the tool's words (success, current, failed; crc_mismatch, ...).
EMSCRIPTEN_KEEPALIVE const char *hidiap_web_status() {
    return host::status_word(report.status);
}

EMSCRIPTEN_KEEPALIVE const char *hidiap_web_cause() {
    return host::cause_word(report.cause);
}

}  // extern "C"
