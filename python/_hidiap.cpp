// The Python module's native part: the C interface (hidiap/hidiap.h) as Python calls. The
// public names, exceptions and result types are completed in hidiap/__init__.py.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hidiap/hidiap.h"

namespace py = pybind11;

namespace {

// Raises the hidiap exception for a code: InputError, DeviceNotFound, PermissionDenied, or Error.
[[noreturn]] void raise(const hidiap_error &e) {
    const py::module_ hidiap = py::module_::import("hidiap");
    const char *name = "Error";
    switch (e.code) {
        case HIDIAP_ERR_INPUT:
            name = "InputError";
            break;
        case HIDIAP_ERR_NO_DEVICE:
            name = "DeviceNotFound";
            break;
        case HIDIAP_ERR_PERMISSION:
            name = "PermissionDenied";
            break;
        default:
            break;
    }
    const py::object type = hidiap.attr(name);
    PyErr_SetObject(type.ptr(), py::make_tuple(std::string(e.message), e.code).ptr());
    throw py::error_already_set();
}

void check(int code, const hidiap_error &e) {
    if (code != HIDIAP_OK) {
        raise(e);
    }
}

struct Inputs {
    explicit Inputs(hidiap_inputs *h) : handle(h, hidiap_inputs_free) {}
    std::shared_ptr<hidiap_inputs> handle;
};

struct Simulator {
    std::shared_ptr<hidiap_simulator> handle;
};

struct InputOptions {
    std::string image_format;
    std::string tts_format;
    std::vector<std::string> keys;
    std::vector<const char *> key_pointers;
    hidiap_input_options options{};

    InputOptions(std::optional<std::string> image, std::optional<std::string> tts,
                 std::vector<std::string> trusted)
        : image_format(image.value_or("")), tts_format(tts.value_or("")), keys(std::move(trusted)) {
        for (const std::string &k : keys) {
            key_pointers.push_back(k.c_str());
        }
        options.image_format = image_format.c_str();
        options.tts_format = tts_format.c_str();
        options.trusted_keys = key_pointers.data();
        options.trusted_key_count = key_pointers.size();
    }
};

std::vector<std::string> paths_of(const py::iterable &items) {
    std::vector<std::string> out;
    for (const py::handle item : items) {
        out.push_back(py::str(py::module_::import("os").attr("fspath")(item)));
    }
    return out;
}

std::string path_of(const py::object &path) {
    return py::str(py::module_::import("os").attr("fspath")(path));
}

Inputs from_files(const py::object &image, const py::object &tts, const std::string &token,
                  std::optional<std::string> image_format, std::optional<std::string> tts_format,
                  const py::iterable &trusted_keys) {
    InputOptions o(std::move(image_format), std::move(tts_format), paths_of(trusted_keys));
    const std::string image_path = path_of(image);
    const std::string tts_path = path_of(tts);
    hidiap_inputs *h = nullptr;
    hidiap_error e{};
    int code;
    {
        py::gil_scoped_release unlocked;
        code = hidiap_inputs_from_files(image_path.c_str(), tts_path.c_str(), token.c_str(),
                                        &o.options, &h, &e);
    }
    check(code, e);
    return Inputs(h);
}

// A package's bytes when `package` offers them (bytes, bytearray, memoryview), copied while the
// GIL is held so that no other thread changes them under the call; nothing for a path.
std::optional<std::vector<uint8_t>> package_bytes(const py::object &package) {
    if (py::isinstance<py::str>(package) || !PyObject_CheckBuffer(package.ptr())) {
        return std::nullopt;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(package.ptr(), &view, PyBUF_SIMPLE) != 0) {
        throw py::error_already_set();
    }
    const auto *data = static_cast<const uint8_t *>(view.buf);
    std::vector<uint8_t> bytes(data, data + view.len);
    PyBuffer_Release(&view);
    return bytes;
}

Inputs from_package(const py::object &package, const py::iterable &trusted_keys) {
    InputOptions o(std::nullopt, std::nullopt, paths_of(trusted_keys));
    const std::optional<std::vector<uint8_t>> bytes = package_bytes(package);
    const std::string path = bytes ? std::string() : path_of(package);
    hidiap_inputs *h = nullptr;
    hidiap_error e{};
    int code;
    {
        py::gil_scoped_release unlocked;
        code = bytes ? hidiap_inputs_from_package_memory(bytes->data(), bytes->size(), &o.options,
                                                         &h, &e)
                     : hidiap_inputs_from_package(path.c_str(), &o.options, &h, &e);
    }
    check(code, e);
    return Inputs(h);
}

Simulator make_simulator(int devices, const std::vector<std::string> &faults,
                         std::optional<std::string> timing, int appear_after_ms, int open_after_ms,
                         std::optional<py::bytes> flash_from) {
    std::vector<const char *> rules;
    for (const std::string &f : faults) {
        rules.push_back(f.c_str());
    }
    const std::string timing_text = timing.value_or("");
    const std::string flash = flash_from ? std::string(*flash_from) : std::string();
    hidiap_simulator_options o{};
    o.devices = devices;
    o.faults = rules.data();
    o.fault_count = rules.size();
    o.timing = timing_text.c_str();
    o.appear_after_ms = appear_after_ms;
    o.open_after_ms = open_after_ms;
    o.flash_from = flash_from ? flash.data() : nullptr;
    o.flash_from_size = flash.size();
    hidiap_simulator *h = nullptr;
    hidiap_error e{};
    check(hidiap_simulator_new(&o, &h, &e), e);
    return Simulator{std::shared_ptr<hidiap_simulator>(h, hidiap_simulator_free)};
}

py::bytes simulator_flash(Simulator &s, const std::string &serial) {
    std::string bytes(HIDIAP_FLASH_SIZE, '\0');
    hidiap_error e{};
    check(hidiap_simulator_flash(s.handle.get(), serial.c_str(), bytes.data(), bytes.size(), &e),
          e);
    return py::bytes(bytes);
}

py::list list_devices(Simulator *simulator, uint16_t vid, uint16_t pid, double wait) {
    std::vector<hidiap_device> devices(64);
    size_t count = 0;
    hidiap_error e{};
    int code;
    {
        py::gil_scoped_release unlocked;
        code = hidiap_list_devices(simulator != nullptr ? simulator->handle.get() : nullptr, vid,
                                   pid, static_cast<int>(wait * 1000), devices.data(),
                                   devices.size(), &count, &e);
    }
    check(code, e);
    py::list out;
    for (size_t i = 0; i < count && i < devices.size(); i++) {
        const hidiap_device &d = devices[i];
        out.append(
            py::make_tuple(d.path, d.vendor_id, d.product_id, d.serial, d.manufacturer, d.product));
    }
    return out;
}

// What a run's callbacks need; they run on the calling thread, with the GIL taken for them.
struct Callbacks {
    py::object on_progress;
    py::object on_line;
    py::object cancel;
    bool check_signals = false;
    bool interrupted_by_signal = false;
    std::optional<py::error_already_set> failure;  // a callback's exception, raised afterwards
};

void line_cb(void *user, const char *text, size_t size) {
    auto &c = *static_cast<Callbacks *>(user);
    py::gil_scoped_acquire locked;
    if (c.failure || c.on_line.is_none()) {
        return;
    }
    try {
        c.on_line(py::str(text, size));
    } catch (py::error_already_set &e) {
        c.failure = std::move(e);
    }
}

void progress_cb(void *user, const char *phase, uint64_t done, uint64_t total) {
    auto &c = *static_cast<Callbacks *>(user);
    py::gil_scoped_acquire locked;
    if (c.failure || c.on_progress.is_none()) {
        return;
    }
    try {
        c.on_progress(phase, done, total);
    } catch (py::error_already_set &e) {
        c.failure = std::move(e);
    }
}

int cancel_cb(void *user) {
    auto &c = *static_cast<Callbacks *>(user);
    py::gil_scoped_acquire locked;
    if (c.failure || c.interrupted_by_signal) {
        return 1;
    }
    // Python runs its signal handlers on the main thread only; a KeyboardInterrupt there ends
    // the run as the tool's Ctrl-C does, and is raised once the run is over.
    if (c.check_signals && PyErr_CheckSignals() != 0) {
        PyErr_Clear();
        c.interrupted_by_signal = true;
        return 1;
    }
    try {
        return !c.cancel.is_none() && py::bool_(c.cancel.attr("is_set")()) ? 1 : 0;
    } catch (py::error_already_set &e) {
        c.failure = std::move(e);
        return 1;
    }
}

py::dict result_dict(const hidiap_result &r) {
    py::dict d;
    d["outcome"] = std::string(r.outcome);
    d["cause"] = r.cause[0] != '\0' ? py::object(py::str(r.cause)) : py::object(py::none());
    d["reason"] = std::string(r.reason);
    d["ok"] = r.ok != 0;
    d["bytes_programmed"] = r.bytes_programmed;
    d["seconds"] = r.seconds;
    d["image_crc"] = r.has_crcs ? py::object(py::int_(r.image_crc)) : py::object(py::none());
    d["tts_crc"] = r.has_crcs ? py::object(py::int_(r.tts_crc)) : py::object(py::none());
    d["serial"] = std::string(r.serial);
    d["path"] = std::string(r.path);
    return d;
}

// (result as a dict, whether a KeyboardInterrupt ended it)
py::tuple run(bool verify, Inputs &inputs, Simulator *simulator, uint16_t vid, uint16_t pid,
              std::optional<std::string> serial, std::optional<std::string> path, double wait,
              bool skip_unchanged, bool skip_blank, std::optional<std::string> record,
              py::object on_progress, py::object on_line, py::object cancel) {
    Callbacks c;
    c.on_progress = std::move(on_progress);
    c.on_line = std::move(on_line);
    c.cancel = std::move(cancel);
    c.check_signals =
        PyGILState_Check() && py::module_::import("threading")
                                  .attr("current_thread")()
                                  .is(py::module_::import("threading").attr("main_thread")());
    hidiap_run_options o{};
    o.simulator = simulator != nullptr ? simulator->handle.get() : nullptr;
    o.vendor_id = vid;
    o.product_id = pid;
    o.serial = serial ? serial->c_str() : nullptr;
    o.path = path ? path->c_str() : nullptr;
    o.wait_ms = static_cast<int>(wait * 1000);
    o.skip_unchanged = skip_unchanged ? 1 : 0;
    o.skip_blank = skip_blank ? 1 : 0;
    o.record = record ? record->c_str() : nullptr;
    o.on_progress = progress_cb;
    o.on_line = line_cb;
    o.should_cancel = cancel_cb;
    o.user = &c;
    hidiap_result r{};
    hidiap_error e{};
    int code;
    {
        py::gil_scoped_release unlocked;
        code = verify ? hidiap_verify(inputs.handle.get(), &o, nullptr, &r, &e)
                      : hidiap_update(inputs.handle.get(), &o, nullptr, &r, &e);
    }
    if (c.failure) {
        throw std::move(*c.failure);
    }
    check(code, e);
    return py::make_tuple(result_dict(r), c.interrupted_by_signal);
}

}  // namespace

PYBIND11_MODULE(_hidiap, m) {
    m.doc() = "The native part of the hidiap module; use the hidiap package.";
    m.attr("version") = hidiap_version();
    py::class_<Inputs>(m, "Inputs", "Inputs loaded once and used by any number of runs.")
        .def_static("from_files", &from_files, py::arg("image"), py::arg("tts"), py::arg("token"),
                    py::arg("image_format") = py::none(), py::arg("tts_format") = py::none(),
                    py::arg("trusted_keys") = py::tuple(),
                    "The image and TTS files with the flash-size token ('1MB', '2MB').\n\n"
                    "image_format, tts_format: raw, ihex, srec or elf (default: from the "
                    "content). Raises InputError for files the tool refuses.")
        .def_static("from_package", &from_package, py::arg("package"),
                    py::arg("trusted_keys") = py::tuple(),
                    "A firmware package: its path, or its content as bytes (or a bytearray or "
                    "memoryview), named '(memory)' in records. trusted_keys are added to the "
                    "system's trusted keys. Raises InputError for a package the tool refuses.")
        .def_property_readonly(
            "image_sha256",
            [](const Inputs &i) { return std::string(hidiap_inputs_image_sha256(i.handle.get())); },
            "SHA-256 of the image file, lowercase hex.")
        .def_property_readonly(
            "tts_sha256",
            [](const Inputs &i) { return std::string(hidiap_inputs_tts_sha256(i.handle.get())); },
            "SHA-256 of the TTS file, lowercase hex.")
        .def_property_readonly(
            "token",
            [](const Inputs &i) { return std::string(hidiap_inputs_token(i.handle.get())); },
            "The flash-size token.")
        .def_property_readonly(
            "firmware_version",
            [](const Inputs &i) {
                return std::string(hidiap_inputs_firmware_version(i.handle.get()));
            },
            "The package's firmware version; '' without a package.");
    py::class_<Simulator>(m, "Simulator",
                          "Simulated devices (SIM0001 at sim:1, ...) with the tool's --sim "
                          "options; their flash lasts as long as the simulator.")
        .def(py::init(&make_simulator), py::arg("devices") = 1,
             py::arg("faults") = std::vector<std::string>(), py::arg("timing") = py::none(),
             py::arg("appear_after_ms") = 0, py::arg("open_after_ms") = 0,
             py::arg("flash_from") = py::none(),
             "devices: how many; faults: --sim-fault rules ('SIM0002/drop:page:3'); timing: "
             "--sim-timing ('usb-fs'); appear_after_ms, open_after_ms: --sim-appear-after and "
             "--sim-open-after; flash_from: every device's first flash (bytes). Raises "
             "InputError for a malformed rule.")
        .def("flash", &simulator_flash, py::arg("serial"),
             "The device's 2 MiB flash as bytes. Raises DeviceNotFound for an unknown serial.");
    m.def("list_devices", &list_devices, py::arg("simulator") = nullptr, py::arg("vid") = 0,
          py::arg("pid") = 0, py::arg("wait") = 0.0);
    m.def("run", &run, py::arg("verify"), py::arg("inputs"), py::arg("simulator"), py::arg("vid"),
          py::arg("pid"), py::arg("serial"), py::arg("path"), py::arg("wait"),
          py::arg("skip_unchanged"), py::arg("skip_blank"), py::arg("record"),
          py::arg("on_progress"), py::arg("on_line"), py::arg("cancel"));
}
