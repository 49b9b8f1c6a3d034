#include "hidiap_tool.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "console.h"
#include "device_finder.h"
#include "engine_hooks.h"
#include "engine_runner.h"
#include "exit_status.h"
#include "hid_catalog.h"
#include "host_buffers.h"
#include "input_files.h"
#include "options.h"
#include "platform.h"
#include "progress_display.h"
#include "sim_catalog.h"
#include "sim_transport.h"
#include "wide_text.h"
#include "workers.h"

namespace host {

namespace {

// Explains a file the tool cannot use; false when the file is unusable.
bool usable(const LoadResult &r, const char *what, const std::string &path, uint32_t limit) {
    switch (r.status) {
        case LoadStatus::Ok:
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

// Where devices are found: USB, or the simulated devices. Null when a fault rule is unusable.
std::unique_ptr<DeviceCatalog> make_catalog(const Options &o, const RunTuning &tuning) {
    if (!o.simulate) {
        return std::make_unique<HidCatalog>();
    }
    SimCatalogSetup setup;
    setup.devices = o.sim_devices;
    setup.faults = o.sim_faults;
    setup.appear_after = o.sim_appear_after;
    setup.open_after = o.sim_open_after;
    setup.device_tick = tuning.tick_period;
    std::string error;
    std::unique_ptr<SimCatalog> catalog = SimCatalog::create(setup, error);
    if (!catalog) {
        std::fprintf(stderr, "hidiap: --sim-fault: %s\n", error.c_str());
    }
    return catalog;
}

bool write_sim_flash(SimTransport &sim, const std::string &path) {
    return sim.with_device([&path](sim::SimDevice &device) {
        const std::vector<uint8_t> &bytes = device.flash().bytes();
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        return std::fclose(f) == 0 && ok;
    });
}

}  // namespace

int run_tool(int argc, char **argv, const RunTuning &tuning) {
    if (prints_usage_line(argc, argv)) {
        console_printf("Usage: Drage DFU image file to this exceute file !\r\n");
    }
    const ParseResult parsed = parse_command_line(argc, argv);
    if (parsed.kind == ParseResult::Kind::Exit) {
        return parsed.exit_status;
    }
    const Options &o = parsed.options;
    const std::unique_ptr<DeviceCatalog> catalog = make_catalog(o, tuning);
    if (!catalog) {
        return kExitBadInput;
    }
    if (o.list) {
        return list_devices(*catalog, o.device.vendor_id, o.device.product_id, o.wait);
    }

    // Both files are read before either is judged, as users of the tool have always seen.
    LoadResult image_load;
    LoadResult tts_load;
    const int image_length = read_img_file(o.image_path.c_str(), &image_load);
    tts_size = read_tts_file(o.tts_path.c_str(), &tts_load);
    if (image_load.status != LoadStatus::CannotOpen &&
        !usable(image_load, "image", o.image_path, IMG_FILE_BUF_SIZE)) {
        return kExitBadInput;
    }
    if (image_length == 0) {
        if (image_load.status == LoadStatus::CannotOpen) {
            usable(image_load, "image", o.image_path, IMG_FILE_BUF_SIZE);
        }
        console_printf("not found image file\r\n");
        return kExitBadInput;
    }
    if (tts_load.status != LoadStatus::CannotOpen &&
        !usable(tts_load, "TTS", o.tts_path, TTS_FILE_BUF_SIZE)) {
        return kExitBadInput;
    }
    if (tts_size == 0) {
        if (tts_load.status == LoadStatus::CannotOpen) {
            usable(tts_load, "TTS", o.tts_path, TTS_FILE_BUF_SIZE);
        }
        console_printf("not found tts file\r\n");
        return kExitBadInput;
    }
    console_printf("OTA file size is %d\r\n", image_length);
    console_printf("TTS file size is %d\r\n", tts_size);
    if (static_cast<uint32_t>(image_length) <= kImageStart) {
        std::fprintf(stderr,
                     "hidiap: image file '%s' is %d bytes; it must be larger than %u bytes "
                     "(0x%x), because the image is programmed from that offset on\n",
                     o.image_path.c_str(), image_length, kImageStart, kImageStart);
        return kExitBadInput;
    }

    const Layout layout = compute_layout(static_cast<uint32_t>(image_length),
                                         static_cast<uint32_t>(tts_size), o.token);
    is_1mb = layout.is_1mb ? 1 : 0;
    if (layout.overlap) {
        std::fprintf(stderr,
                     "hidiap: warning: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; the TTS data is programmed last and wins\n",
                     kImageStart, kImageStart + layout.image_program, layout.tts_addr,
                     layout.tts_addr + layout.tts_rounded);
    }
    tts_size = static_cast<int>(layout.tts_rounded);

    OpenedDevice opened = find_and_open(*catalog, o.device, o.wait);
    if (!opened.transport) {
        console_printf("handle get failed\n");
        return opened.status;
    }
    std::unique_ptr<Transport> device = std::move(opened.transport);
    std::wstring product;
    if (device->product_string(product)) {
        console_printf("Product String     : %s\n", to_utf8(product).c_str());
    }

    iap.update_file_num = 2;
    iap_init(&iap, iap_cmd_tx, iap_evnet_callback);
    iap.local_img_buf = img_file;
    iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);

    Outcome outcome;
    {
        EngineRunner runner(*device);
        ProgressDisplay progress;
        const bool show_progress = !o.no_progress && stderr_is_terminal();
        if (show_progress) {
            progress.install();
            runner.set_observer([&progress](const iap_env_t &record) {
                Progress p;
                p.state = record.state;
                p.offset = record.iap_offset;
                p.size = record.size;
                p.ranges = record.update_file_num;
                p.range = record.update_done_num < record.update_file_num
                              ? record.update_done_num + 1u
                              : record.update_file_num;
                progress.update(p);
            });
        }
        Workers workers(runner, *device, tuning.tick_period);
        workers.start();
        runner.start(kImageStart, layout.image_program, kImageStart);
        outcome = runner.wait_for_outcome(tuning.stall_limit);
        if (outcome == Outcome::Stalled) {
            std::fprintf(stderr, "hidiap: the update made no progress for %lld s; giving up\n",
                         static_cast<long long>(tuning.stall_limit.count() / 1000));
        }
        if (show_progress) {
            progress.uninstall();
        }
        if (!o.no_wait) {
            std::getchar();
        }
        workers.stop();
    }

    int status = outcome == Outcome::Success ? kExitSuccess : kExitFailed;
    if (status != kExitSuccess) {
        std::fprintf(stderr, "hidiap: update failed (%s)\n", outcome_name(outcome));
    }
    if (!o.sim_flash_path.empty()) {
        auto *sim = static_cast<SimTransport *>(device.get());
        if (!write_sim_flash(*sim, o.sim_flash_path)) {
            std::fprintf(stderr, "hidiap: cannot write the simulated flash to '%s'\n",
                         o.sim_flash_path.c_str());
            if (status == kExitSuccess) {
                status = kExitFailed;
            }
        }
    }
    device.reset();
    return status;
}

}  // namespace host
