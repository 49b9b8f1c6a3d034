#include "hidiap_tool.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "engine_hooks.h"
#include "engine_runner.h"
#include "exit_status.h"
#include "hid_transport.h"
#include "host_buffers.h"
#include "input_files.h"
#include "options.h"
#include "platform.h"
#include "progress_display.h"
#include "sim_transport.h"
#include "usb_timing.h"
#include "wide_text.h"
#include "workers.h"

namespace host {

namespace {

constexpr unsigned short kVendorId = 0x9999;
constexpr unsigned short kProductId = 0x8888;

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

std::unique_ptr<Transport> open_device(const Options &o, const sim::FaultSchedule &faults,
                                       const RunTuning &tuning,
                                       const std::optional<timing::UsbTimingFigures> &link) {
    if (o.simulate) {
        return std::make_unique<SimTransport>(faults, tuning.tick_period, link);
    }
    return HidTransport::open(kVendorId, kProductId);
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

// Fills the simulated device's flash from a file, as another history would have left it.
bool read_sim_flash(SimTransport &sim, const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    std::vector<uint8_t> content(sim::FlashModel::kSize + 1, sim::FlashModel::kErased);
    const size_t n = std::fread(content.data(), 1, content.size(), f);
    const bool ok = std::ferror(f) == 0 && n <= sim::FlashModel::kSize;
    std::fclose(f);
    if (!ok) {
        return false;
    }
    return sim.with_device([&content](sim::SimDevice &device) {
        sim::FlashModel &flash = device.flash();
        flash.unlock();
        for (uint32_t s = 0; s < sim::FlashModel::kSize; s += sim::FlashModel::kSectorSize) {
            flash.erase_sector(s);
            flash.program(s, content.data() + s, sim::FlashModel::kSectorSize);
        }
        flash.lock();
        return true;
    });
}

bool parse_link_timing(const Options &o, std::optional<timing::UsbTimingFigures> &link) {
    if (o.sim_timing.empty()) {
        return true;
    }
    timing::UsbTimingFigures figures;
    std::string error;
    if (!timing::parse_usb_timing(o.sim_timing, figures, error)) {
        std::fprintf(stderr, "hidiap: --sim-timing: %s\n", error.c_str());
        return false;
    }
    link = figures;
    return true;
}

void report_timing(std::chrono::steady_clock::duration elapsed, const TickStats &ticks,
                   const std::optional<timing::UsbTimingFigures> &link, const Layout &layout) {
    using std::chrono::duration;
    std::fprintf(stderr,
                 "hidiap: timing: update %.3f s, %llu ticks, mean tick period %.4f ms, "
                 "latest tick %.3f ms late\n",
                 duration<double>(elapsed).count(), static_cast<unsigned long long>(ticks.ticks),
                 duration<double, std::milli>(ticks.mean_period).count(),
                 duration<double, std::milli>(ticks.max_late).count());
    if (link) {
        const auto theory =
            timing::theoretical_update_time(*link, layout.image_program, layout.tts_rounded);
        std::fprintf(stderr, "hidiap: timing: a full update on this link takes %.3f s\n",
                     duration<double>(theory).count());
    }
}

}  // namespace

int run_tool(int argc, char **argv, const RunTuning &tuning) {
    if (argc != 1) {
        console_printf("Usage: Drage DFU image file to this exceute file !\r\n");
    }
    const ParseResult parsed = parse_command_line(argc, argv);
    if (parsed.kind == ParseResult::Kind::Exit) {
        return parsed.exit_status;
    }
    const Options &o = parsed.options;
    sim::FaultSchedule faults;
    std::string fault_error;
    if (!sim::parse_fault_schedule(o.sim_faults, faults, fault_error)) {
        std::fprintf(stderr, "hidiap: --sim-fault: %s\n", fault_error.c_str());
        return kExitBadInput;
    }
    std::optional<timing::UsbTimingFigures> link_timing;
    if (!parse_link_timing(o, link_timing)) {
        return kExitBadInput;
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
    if (layout.overlap && o.skip_unchanged) {
        // Each range is surveyed before it is programmed; the TTS data would overwrite sectors
        // the image's survey found unchanged, and the image's check would no longer hold.
        std::fprintf(stderr,
                     "hidiap: --skip-unchanged: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; run without --skip-unchanged\n",
                     kImageStart, kImageStart + layout.image_program, layout.tts_addr,
                     layout.tts_addr + layout.tts_rounded);
        return kExitBadInput;
    }
    if (layout.overlap) {
        std::fprintf(stderr,
                     "hidiap: warning: the image range 0x%06x-0x%06x and the TTS range "
                     "0x%06x-0x%06x overlap; the TTS data is programmed last and wins\n",
                     kImageStart, kImageStart + layout.image_program, layout.tts_addr,
                     layout.tts_addr + layout.tts_rounded);
    }
    tts_size = static_cast<int>(layout.tts_rounded);

    std::unique_ptr<Transport> device = open_device(o, faults, tuning, link_timing);
    if (!device) {
        console_printf("handle get failed\n");
        return kExitNoDevice;
    }
    if (!o.sim_flash_from.empty() &&
        !read_sim_flash(*static_cast<SimTransport *>(device.get()), o.sim_flash_from)) {
        std::fprintf(stderr,
                     "hidiap: --sim-flash-from: cannot use '%s' (missing, unreadable or "
                     "larger than 2 MiB)\n",
                     o.sim_flash_from.c_str());
        return kExitBadInput;
    }
    std::wstring product;
    if (device->product_string(product)) {
        console_printf("Product String     : %s\n", to_utf8(product).c_str());
    }

    iap.update_file_num = 2;
    iap_init(&iap, iap_cmd_tx, iap_evnet_callback);
    iap.local_img_buf = img_file;
    iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
    iap.skip_unchanged = o.skip_unchanged ? 1 : 0;

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
        const auto started = std::chrono::steady_clock::now();
        runner.start(kImageStart, layout.image_program, kImageStart);
        outcome = runner.wait_for_outcome(tuning.stall_limit);
        if (o.timing_report) {
            report_timing(std::chrono::steady_clock::now() - started, workers.tick_stats(),
                          link_timing, layout);
        }
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
