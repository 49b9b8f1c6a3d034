#include "host/library/shared_inputs.h"

#include <algorithm>

#include "globals/iap_globals.h"
#include "host/library/library_console.h"
#include "host/platform/error_lines.h"

namespace host {

namespace {

// What the process's buffers hold and how many runs use it; guarded by state_mutex().
struct SharedState {
    std::shared_ptr<const LoadedInputs> held;
    int runs = 0;
};

std::mutex &state_mutex() {
    static std::mutex mutex;
    return mutex;
}

SharedState &state() {
    static SharedState s;
    return s;
}

bool same_inputs(const LoadedInputs &a, const LoadedInputs &b) {
    return a.token == b.token && a.inputs.image_length == b.inputs.image_length &&
           a.inputs.tts_length == b.inputs.tts_length && a.image == b.image && a.tts == b.tts;
}

}  // namespace

base::Result<std::shared_ptr<const LoadedInputs>> load_shared_inputs(const InputRequest &request,
                                                                     const PackageInputs *package) {
    std::lock_guard<std::mutex> lock(state_mutex());
    if (state().runs > 0) {
        return base::Error(kInputsInUse,
                           "inputs cannot be loaded while an update runs in this process: the "
                           "engine's TTS data is process-wide; load every build before starting "
                           "updates");
    }
    std::string said;
    auto loaded = std::make_shared<LoadedInputs>();
    base::Status status;
    {
        const ErrorLinesScope collect([&said](std::string_view text) { said.append(text); });
        const QuietConsoleScope quiet;
        status = load_inputs(request, loaded->inputs, package);
    }
    // Whatever the outcome, the buffers no longer hold what a lease handed out.
    state().held.reset();
    if (!status.ok()) {
        const std::string why = error_lines_as_message(said);
        return base::Error(status.code(), why.empty() ? status.message() : why);
    }
    loaded->token = request.token;
    for (const InputFacts &f : loaded->inputs.facts) {
        if (f.role == "image") {
            loaded->image_sha256 = f.sha256;
        } else if (f.role == "TTS") {
            loaded->tts_sha256 = f.sha256;
        }
    }
    if (package != nullptr) {
        loaded->firmware_version = package->manifest.firmware_version;
        loaded->product = package->manifest.product;
        loaded->package = *package;
        loaded->package->image.clear();
        loaded->package->tts.clear();
        if (package->manifest.has_ids) {
            loaded->vendor_id = package->manifest.vendor_id;
            loaded->product_id = package->manifest.product_id;
        }
    }
    loaded->image.assign(img_file, img_file + IMG_FILE_BUF_SIZE);
    loaded->tts.assign(tts_file, tts_file + TTS_FILE_BUF_SIZE);
    return std::shared_ptr<const LoadedInputs>(std::move(loaded));
}

base::Result<std::unique_ptr<InputsLease>> InputsLease::take(
    const std::shared_ptr<const LoadedInputs> &inputs) {
    std::lock_guard<std::mutex> lock(state_mutex());
    SharedState &s = state();
    if (s.runs > 0 && s.held != inputs && !(s.held && same_inputs(*s.held, *inputs))) {
        return base::Error(kInputsInUse,
                           "another update in this process runs with other inputs: the engine's "
                           "TTS data is process-wide, so updates that run at the same time must "
                           "use the same image, TTS file and token");
    }
    if (s.runs == 0 && s.held != inputs) {
        std::copy(inputs->image.begin(), inputs->image.end(), img_file);
        std::copy(inputs->tts.begin(), inputs->tts.end(), tts_file);
        use_layout(inputs->inputs.layout);
        s.held = inputs;
    }
    s.runs++;
    return std::unique_ptr<InputsLease>(new InputsLease());
}

InputsLease::~InputsLease() {
    std::lock_guard<std::mutex> lock(state_mutex());
    state().runs--;
}

}  // namespace host
