// The inputs of the library's runs. The engine reads its TTS data from process-wide buffers, and
// the inputs are loaded through them, so the process holds one set at a time: a run takes it
// with a lease, runs that overlap share it, and a run with other inputs, or a load while any run
// is under way, is refused with a reason that says so.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/inputs/input_sources.h"
#include "host/inputs/run_inputs.h"

namespace host {

// One load of the inputs, kept apart from the process-wide buffers it was loaded through.
struct LoadedInputs {
    Inputs inputs;
    std::string token;
    std::string image_sha256;
    std::string tts_sha256;
    std::string firmware_version;  // a package's, else ""
    std::string product;           // a package's product: no other is updated; "" for any
    uint16_t vendor_id = 0;        // a package's IDs, when it names them, else 0
    uint16_t product_id = 0;
    std::vector<uint8_t> image;  // the image buffer as loaded, every byte of it
    std::vector<uint8_t> tts;    // the TTS buffer as loaded
    // The package they came from, without its members' bytes (for the records); none for files.
    std::optional<PackageInputs> package;
};

// The refusal when the process's inputs are taken by another set ("InputsInUse" below).
constexpr base::ErrorCode kInputsInUse = base::ErrorCode::Busy;

// Loads the inputs as the tool does (with a package: its members), its explanations collected
// into the refusal's message rather than printed. Refused with kInputsInUse while a run is
// under way in the process.
base::Result<std::shared_ptr<const LoadedInputs>> load_shared_inputs(const InputRequest &request,
                                                                     const PackageInputs *package);

// While it lives, the process's buffers hold `inputs` for a run.
class InputsLease {
  public:
    // Refused with kInputsInUse when runs with other inputs are under way.
    static base::Result<std::unique_ptr<InputsLease>> take(
        const std::shared_ptr<const LoadedInputs> &inputs);
    ~InputsLease();
    InputsLease(const InputsLease &) = delete;
    InputsLease &operator=(const InputsLease &) = delete;

  private:
    InputsLease() = default;
};

}  // namespace host
