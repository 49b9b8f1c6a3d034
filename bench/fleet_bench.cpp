// Wall time of updating 1, 2, 4 and 8 simulated devices at once with the same files, through the
// tool's multi-device run (records, runners, reader and writer threads, one tick thread), and
// the process's CPU time for it. Ideally N devices take the time of one: each device's update
// waits mostly on its own device, and the host's work per device is small.
//
// Two links: the simulated device's own, which answers at once (the run is then pure CPU work
// and N devices share the machine's cores), and the USB full-speed timing model (--sim-timing
// usb-fs), under which a device takes the time a real one would and the host's cost shows as CPU
// time. The files are the medium ones of the tool's own benchmarks: 256 KiB of image, 16 KiB of
// TTS data.
#include "fleet_bench.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "globals/iap_globals.h"
#include "host/inputs/run_inputs.h"
#include "host/sim/sim_transport.h"
#include "host/update/update_run.h"
#include "timing/usb_timing.h"

namespace {

constexpr uint32_t kImageBytes = 0x40000;
constexpr uint32_t kTtsBytes = 0x4000;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void run_fleet(benchmark::State &state, bool usb_fs) {
    const auto devices = static_cast<size_t>(state.range(0));
    std::fill(img_file, img_file + IMG_FILE_BUF_SIZE, 0xFF);
    std::fill(tts_file, tts_file + TTS_FILE_BUF_SIZE, 0xFF);
    for (uint32_t i = 0; i < kImageBytes; i++) {
        img_file[i] = static_cast<uint8_t>(i * 31);
    }
    for (uint32_t i = 0; i < kTtsBytes; i++) {
        tts_file[i] = static_cast<uint8_t>(i * 17);
    }
    const host::Layout layout = host::compute_layout(kImageBytes, kTtsBytes, "1MB");
    host::use_layout(layout);
    const host::UpdatePlan plan = host::make_update_plan(kImageBytes, kTtsBytes, "1MB");
    host::UpdateSettings settings;
    settings.out = [](std::string_view) {};
    settings.err = [](std::string_view) {};

    double cpu = 0;
    double slowest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::unique_ptr<host::SimTransport>> sims;
        std::vector<host::UpdateDevice> fleet;
        for (size_t i = 0; i < devices; i++) {
            sims.push_back(std::make_unique<host::SimTransport>(
                sim::FaultSchedule{}, settings.tick_period,
                usb_fs ? std::optional<timing::UsbTimingFigures>(timing::UsbTimingFigures{})
                       : std::nullopt));
            host::DeviceInfo d;
            d.serial = "SIM" + std::to_string(i + 1);
            fleet.push_back({sims.back().get(), d, nullptr});
        }
        state.ResumeTiming();
        const double cpu_before = cpu_seconds();
        host::UpdateRun run(fleet, layout, settings);
        run.announce();
        const std::vector<host::DeviceResult> results = run.run(plan);
        cpu += cpu_seconds() - cpu_before;
        double longest = 0;
        for (const host::DeviceResult &r : results) {
            longest = std::max(longest, r.report.seconds);
        }
        slowest += longest;
        if (host::fleet_exit_status(results) != 0) {
            state.SkipWithError("a device failed");
            break;
        }
    }
    const double runs = static_cast<double>(state.iterations());
    // The whole call includes stopping the threads (a reader's last read may wait out its 50 ms
    // time-out); the slowest device's own time from start to verified outcome excludes it.
    state.counters["cpu_s/run"] = benchmark::Counter(cpu / runs);
    state.counters["slowest_device_s"] = benchmark::Counter(slowest / runs);
    if (usb_fs) {
        const timing::Nanos theory = timing::theoretical_update_time(
            timing::UsbTimingFigures{}, layout.image_program, layout.tts_rounded);
        state.counters["theory_s"] =
            benchmark::Counter(std::chrono::duration<double>(theory).count());
    }
    state.counters["devices"] = benchmark::Counter(static_cast<double>(devices));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * devices *
                                                 (layout.image_program + layout.tts_rounded)));
}

void BM_Fleet_MediumFiles(benchmark::State &state) {
    run_fleet(state, false);
}

void BM_Fleet_MediumFiles_UsbFs(benchmark::State &state) {
    run_fleet(state, true);
}

}  // namespace

namespace bench {

void register_fleet_benchmarks(bool long_runs) {
    benchmark::RegisterBenchmark("BM_Fleet_MediumFiles", BM_Fleet_MediumFiles)
        ->Arg(1)
        ->Arg(2)
        ->Arg(4)
        ->Arg(8)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(0.5);
    if (!long_runs) {
        return;
    }
    // About 9 s per run: one run each. The tool's own figure, process and all, is
    // BM_Tool_Fleet_Medium_UsbFs.
    benchmark::RegisterBenchmark("BM_Fleet_MediumFiles_UsbFs", BM_Fleet_MediumFiles_UsbFs)
        ->Arg(1)
        ->Arg(8)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
}

}  // namespace bench
