// The C interface (include/hidiap/hidiap.h): a thin adapter over the library's run, inputs and
// simulator, which in turn use the host layers the tool uses. No C++ exception leaves it.
#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "hidiap/hidiap.h"
#include "host/discovery/device_finder.h"
#include "host/events/exit_status.h"
#include "host/hid/hid_catalog.h"
#include "host/inputs/package_trust.h"
#include "host/library/device_run.h"
#include "host/library/library_console.h"
#include "host/library/shared_inputs.h"
#include "host/library/sim_bench.h"
#include "host/platform/error_lines.h"
#include "host/platform/secret_input.h"

struct hidiap_inputs {
    std::shared_ptr<const host::LoadedInputs> loaded;
};

struct hidiap_simulator {
    std::unique_ptr<host::SimBench> bench;
};

struct hidiap_run {
    std::atomic<bool> cancelled{false};
};

namespace {

template <size_t N>
void copy_text(char (&to)[N], const std::string &from) {
    const size_t n = from.size() < N - 1 ? from.size() : N - 1;
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

int fail(hidiap_error *error, int code, const std::string &message) {
    if (error != nullptr) {
        error->code = code;
        copy_text(error->message, message);
    }
    return code;
}

int succeed(hidiap_error *error) {
    return fail(error, HIDIAP_OK, "");
}

// Runs `body`, turning any exception into HIDIAP_ERR_INTERNAL.
template <typename Body>
int guarded(hidiap_error *error, Body body) {
    try {
        return body();
    } catch (const std::exception &e) {
        return fail(error, HIDIAP_ERR_INTERNAL, std::string("internal error: ") + e.what());
    } catch (...) {
        return fail(error, HIDIAP_ERR_INTERNAL, "internal error: an unknown exception");
    }
}

std::string text_or_empty(const char *text) {
    return text != nullptr ? text : "";
}

// The keys a package is judged by: the caller's trusted keys and the system folders, as the tool
// takes them (a key revoked on this machine is revoked for the library too).
base::Result<host::PackageKeys> package_keys(const hidiap_input_options *o) {
    std::vector<std::string> files;
    if (o != nullptr) {
        for (size_t i = 0; i < o->trusted_key_count; i++) {
            files.push_back(text_or_empty(o->trusted_keys[i]));
        }
    }
    return host::load_package_keys(files, host::trusted_keys_folder(), {},
                                   host::revoked_keys_folder());
}

int loaded_or_fail(base::Result<std::shared_ptr<const host::LoadedInputs>> loaded,
                   hidiap_inputs **out, hidiap_error *error) {
    if (!loaded.ok()) {
        return fail(
            error,
            loaded.code() == host::kInputsInUse ? HIDIAP_ERR_INPUTS_IN_USE : HIDIAP_ERR_INPUT,
            loaded.message());
    }
    *out = new hidiap_inputs{std::move(*loaded)};
    return succeed(error);
}

int from_request(const host::InputRequest &request, const host::PackageInputs *package,
                 const hidiap_input_options *options, hidiap_inputs **out, hidiap_error *error) {
    if (package == nullptr) {
        base::Result<host::PackageKeys> keys = package_keys(options);
        if (!keys.ok()) {
            return fail(error, HIDIAP_ERR_INPUT, keys.message());
        }
        if (!keys->trusted.empty()) {
            std::string why = host::loose_files_refusal(keys->trusted);
            why = host::error_lines_as_message(why);
            return fail(error, HIDIAP_ERR_INPUT, why);
        }
    }
    return loaded_or_fail(host::load_shared_inputs(request, package), out, error);
}

host::InputRequest request_of(const char *image, const char *tts, const char *token,
                              const hidiap_input_options *options) {
    host::InputRequest request;
    request.image_path = text_or_empty(image);
    request.tts_path = text_or_empty(tts);
    request.token = text_or_empty(token);
    if (options != nullptr) {
        request.image_format = text_or_empty(options->image_format);
        request.tts_format = text_or_empty(options->tts_format);
    }
    return request;
}

int fill_result(const host::DeviceRunResult &r, hidiap_result *result, hidiap_error *error) {
    switch (r.refusal) {
        case host::RunRefusal::None:
            break;
        case host::RunRefusal::Input:
            return fail(error, HIDIAP_ERR_INPUT, r.message);
        case host::RunRefusal::NoDevice:
            return fail(error, HIDIAP_ERR_NO_DEVICE,
                        r.message.empty() ? "no matching device was found" : r.message);
        case host::RunRefusal::Permission:
            return fail(error, HIDIAP_ERR_PERMISSION, r.message);
        case host::RunRefusal::Busy:
            return fail(error, HIDIAP_ERR_BUSY, r.message);
        case host::RunRefusal::InputsInUse:
            return fail(error, HIDIAP_ERR_INPUTS_IN_USE, r.message);
        case host::RunRefusal::Internal:
            return fail(error, HIDIAP_ERR_INTERNAL, r.message);
    }
    if (result != nullptr) {
        const host::RunReport &p = r.report;
        *result = hidiap_result{};
        copy_text(result->outcome, host::status_words(p.status).record);
        copy_text(result->cause, host::cause_word(p.cause));
        copy_text(result->reason, p.reason);
        result->ok = p.succeeded() ? 1 : 0;
        result->exit_status = p.exit_status;
        result->bytes_programmed = p.bytes;
        result->seconds = p.seconds;
        bool image = false;
        bool tts = false;
        for (const std::vector<host::RangeCheck> *checks : {&p.verified, &p.compared}) {
            for (const host::RangeCheck &c : *checks) {
                if (c.range == 1) {
                    result->image_crc = c.device_crc;
                    image = true;
                } else if (c.range == 2) {
                    result->tts_crc = c.device_crc;
                    tts = true;
                }
            }
        }
        result->has_crcs = image && tts ? 1 : 0;
        copy_text(result->serial, r.device.serial);
        copy_text(result->path, r.device.path);
    }
    return succeed(error);
}

int run(bool verify, const hidiap_inputs *inputs, const hidiap_run_options *o, hidiap_run *handle,
        hidiap_result *result, hidiap_error *error) {
    if (inputs == nullptr) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "no inputs were given");
    }
    const hidiap_run_options none{};
    if (o == nullptr) {
        o = &none;
    }
    host::DeviceRunRequest request;
    request.inputs = inputs->loaded;
    request.simulator = o->simulator != nullptr ? o->simulator->bench.get() : nullptr;
    request.vendor_id = o->vendor_id;
    request.product_id = o->product_id;
    request.serial = text_or_empty(o->serial);
    request.path = text_or_empty(o->path);
    request.wait = std::chrono::milliseconds(o->wait_ms > 0 ? o->wait_ms : 0);
    request.verify = verify;
    request.skip_unchanged = o->skip_unchanged != 0;
    request.skip_blank = o->skip_blank != 0;
    request.record = text_or_empty(o->record);
    if (o->on_line != nullptr) {
        request.on_line = [o](std::string_view text) {
            o->on_line(o->user, text.data(), text.size());
        };
    }
    if (o->on_progress != nullptr) {
        request.on_progress = [o](const char *phase, uint64_t done, uint64_t total) {
            o->on_progress(o->user, phase, done, total);
        };
    }
    if (o->should_cancel != nullptr) {
        request.should_cancel = [o] { return o->should_cancel(o->user) != 0; };
    }
    request.cancelled = handle != nullptr ? &handle->cancelled : nullptr;
    return fill_result(host::run_device(request), result, error);
}

// What a package handed over in memory is called where a path would be named: its members are
// "(memory):image.bin" in the records.
constexpr const char *kMemoryPackageName = "(memory)";

// A package read by `read` (from its file or from memory), judged by the options' keys and the
// system's, its members loaded as the inputs.
template <typename Read>
int from_package(const std::string &name, Read read, const hidiap_input_options *options,
                 hidiap_inputs **out, hidiap_error *error) {
    base::Result<host::PackageKeys> keys = package_keys(options);
    if (!keys.ok()) {
        return fail(error, HIDIAP_ERR_INPUT, keys.message());
    }
    host::PackageInputs package;
    base::Status status;
    {
        // The reason is in the refusal; the lines that say it for the tool are not wanted.
        const host::ErrorLinesScope quiet([](std::string_view) {});
        status = read(package, *keys);
    }
    if (!status.ok()) {
        return fail(error, HIDIAP_ERR_INPUT,
                    "the firmware package was refused: " + status.message());
    }
    const formats::Manifest &m = package.manifest;
    host::InputRequest request;
    request.image_path = name + ":" + m.image_name;
    request.tts_path = name + ":" + m.tts_name;
    request.token = m.token;
    return from_request(request, &package, options, out, error);
}

}  // namespace

extern "C" {

const char *hidiap_version(void) {
    return HIDIAP_VERSION_STRING;
}

int hidiap_inputs_from_files(const char *image_path, const char *tts_path, const char *token,
                             const hidiap_input_options *options, hidiap_inputs **out,
                             hidiap_error *error) {
    if (out == nullptr) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "no place for the inputs was given");
    }
    *out = nullptr;
    return guarded(error, [&] {
        return from_request(request_of(image_path, tts_path, token, options), nullptr, options, out,
                            error);
    });
}

int hidiap_inputs_from_memory(const void *image, size_t image_size, const void *tts,
                              size_t tts_size, const char *token,
                              const hidiap_input_options *options, hidiap_inputs **out,
                              hidiap_error *error) {
    if (out == nullptr || (image == nullptr && image_size > 0) ||
        (tts == nullptr && tts_size > 0)) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "a buffer or the place for the inputs is missing");
    }
    *out = nullptr;
    return guarded(error, [&] {
        // The buffers go the way a package's members go, named as such.
        host::PackageInputs members;
        const auto *i = static_cast<const uint8_t *>(image);
        const auto *t = static_cast<const uint8_t *>(tts);
        members.image.assign(i, i + image_size);
        members.tts.assign(t, t + tts_size);
        members.facts.role = "memory";
        host::InputRequest request = request_of("image", "TTS", token, options);
        return from_request(request, &members, options, out, error);
    });
}

int hidiap_inputs_from_package(const char *package_path, const hidiap_input_options *options,
                               hidiap_inputs **out, hidiap_error *error) {
    if (out == nullptr) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "no place for the inputs was given");
    }
    *out = nullptr;
    return guarded(error, [&] {
        const std::string path = text_or_empty(package_path);
        return from_package(
            path,
            [&path](host::PackageInputs &package, const host::PackageKeys &keys) {
                return host::read_package_file(path, package, keys);
            },
            options, out, error);
    });
}

int hidiap_inputs_from_package_memory(const void *data, size_t size,
                                      const hidiap_input_options *options, hidiap_inputs **out,
                                      hidiap_error *error) {
    if (out == nullptr || data == nullptr) {
        return fail(error, HIDIAP_ERR_ARGUMENT,
                    "the package's bytes or the place for the inputs "
                    "is missing");
    }
    *out = nullptr;
    return guarded(error, [&] {
        const auto *bytes = static_cast<const uint8_t *>(data);
        return from_package(
            kMemoryPackageName,
            [bytes, size](host::PackageInputs &package, const host::PackageKeys &keys) {
                return host::read_package_bytes(kMemoryPackageName, bytes, size, package, keys);
            },
            options, out, error);
    });
}

void hidiap_inputs_free(hidiap_inputs *inputs) {
    delete inputs;
}

const char *hidiap_inputs_image_sha256(const hidiap_inputs *inputs) {
    return inputs != nullptr ? inputs->loaded->image_sha256.c_str() : "";
}

const char *hidiap_inputs_tts_sha256(const hidiap_inputs *inputs) {
    return inputs != nullptr ? inputs->loaded->tts_sha256.c_str() : "";
}

const char *hidiap_inputs_token(const hidiap_inputs *inputs) {
    return inputs != nullptr ? inputs->loaded->token.c_str() : "";
}

const char *hidiap_inputs_firmware_version(const hidiap_inputs *inputs) {
    return inputs != nullptr ? inputs->loaded->firmware_version.c_str() : "";
}

int hidiap_simulator_new(const hidiap_simulator_options *o, hidiap_simulator **out,
                         hidiap_error *error) {
    if (out == nullptr) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "no place for the simulator was given");
    }
    *out = nullptr;
    return guarded(error, [&] {
        host::SimCatalogSetup setup;
        std::string timing;
        std::string flash_from;
        if (o != nullptr) {
            setup.devices = o->devices > 0 ? o->devices : 1;
            for (size_t i = 0; i < o->fault_count; i++) {
                setup.faults.push_back(text_or_empty(o->faults[i]));
            }
            timing = text_or_empty(o->timing);
            setup.appear_after = std::chrono::milliseconds(o->appear_after_ms);
            setup.open_after = std::chrono::milliseconds(o->open_after_ms);
            if (o->flash_from != nullptr) {
                flash_from.assign(static_cast<const char *>(o->flash_from), o->flash_from_size);
            }
        }
        base::Result<std::unique_ptr<host::SimBench>> bench =
            host::SimBench::create(setup, timing, flash_from);
        if (!bench.ok()) {
            return fail(error, HIDIAP_ERR_INPUT, bench.message());
        }
        *out = new hidiap_simulator{std::move(*bench)};
        return succeed(error);
    });
}

void hidiap_simulator_free(hidiap_simulator *simulator) {
    delete simulator;
}

int hidiap_simulator_flash(hidiap_simulator *simulator, const char *serial, void *buffer,
                           size_t size, hidiap_error *error) {
    if (simulator == nullptr || buffer == nullptr || size < HIDIAP_FLASH_SIZE) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "a simulator and a 2 MiB buffer are needed");
    }
    return guarded(error, [&] {
        base::Result<std::string> flash = simulator->bench->flash(text_or_empty(serial));
        if (!flash.ok()) {
            return fail(error, HIDIAP_ERR_NO_DEVICE, flash.message());
        }
        std::memcpy(buffer, flash->data(), flash->size());
        return succeed(error);
    });
}

int hidiap_list_devices(hidiap_simulator *simulator, uint16_t vendor_id, uint16_t product_id,
                        int wait_ms, hidiap_device *devices, size_t capacity, size_t *count,
                        hidiap_error *error) {
    if (count == nullptr || (devices == nullptr && capacity > 0)) {
        return fail(error, HIDIAP_ERR_ARGUMENT, "no place for the devices was given");
    }
    return guarded(error, [&] {
        std::unique_ptr<host::DeviceCatalog> catalog;
        if (simulator != nullptr) {
            catalog = simulator->bench->catalog();
        } else {
            catalog = std::make_unique<host::HidCatalog>();
        }
        if (vendor_id == 0 && product_id == 0) {
            vendor_id = host::kDefaultVendorId;
            product_id = host::kDefaultProductId;
        }
        std::vector<host::DeviceInfo> found;
        {
            const host::ErrorLinesScope quiet([](std::string_view) {});
            found = host::wait_for_devices(*catalog, vendor_id, product_id,
                                           std::chrono::milliseconds(wait_ms > 0 ? wait_ms : 0),
                                           [] { return false; });
        }
        *count = found.size();
        for (size_t i = 0; i < found.size() && i < capacity; i++) {
            hidiap_device &d = devices[i];
            d = hidiap_device{};
            copy_text(d.path, found[i].path);
            d.vendor_id = found[i].vendor_id;
            d.product_id = found[i].product_id;
            copy_text(d.serial, found[i].serial);
            copy_text(d.manufacturer, found[i].manufacturer);
            copy_text(d.product, found[i].product);
        }
        return succeed(error);
    });
}

hidiap_run *hidiap_run_new(void) {
    try {
        return new hidiap_run();
    } catch (...) {
        return nullptr;
    }
}

void hidiap_run_free(hidiap_run *run) {
    delete run;
}

void hidiap_cancel(hidiap_run *run) {
    if (run != nullptr) {
        run->cancelled = true;
    }
}

int hidiap_update(const hidiap_inputs *inputs, const hidiap_run_options *options,
                  hidiap_run *handle, hidiap_result *result, hidiap_error *error) {
    return guarded(error, [&] { return run(false, inputs, options, handle, result, error); });
}

int hidiap_verify(const hidiap_inputs *inputs, const hidiap_run_options *options,
                  hidiap_run *handle, hidiap_result *result, hidiap_error *error) {
    return guarded(error, [&] { return run(true, inputs, options, handle, result, error); });
}

}  // extern "C"
