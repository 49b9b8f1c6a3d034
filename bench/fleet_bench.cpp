// Wall time of updating 1, 2, 4 and 8 simulated devices at once with the same files, through the
// tool's multi-device run (records, runners, reader and writer threads, one tick thread), and
// the process's CPU time for it. Ideally N devices take the time of one: each device's update
// waits mostly on its own device, and the host's work per device is small.
//
// Two links: the simulated device's own, which answers at once (the run is then pure CPU work
// and N devices share the machine's cores), and a paced one on which every output report takes
// one 1 ms frame, as on a full-speed USB HID link, so that a device takes the time a real one
// would and the host's cost shows as CPU time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device_fleet.h"
#include "host_buffers.h"
#include "sim_transport.h"

namespace {

// A medium update: 256 KiB of image and 64 KiB of TTS data.
constexpr uint32_t kImageBytes = 0x40000;
constexpr uint32_t kTtsBytes = 0x10000;

// Each output report occupies the link for one 1 ms frame before the device sees it.
class PacedLink : public host::Transport {
  public:
    explicit PacedLink(host::Transport &device) : device_(device) {}
    int write(const uint8_t *report, size_t len) override {
        const auto now = std::chrono::steady_clock::now();
        next_frame_ = std::max(now, next_frame_) + std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next_frame_);
        return device_.write(report, len);
    }
    int read(uint8_t *buf, size_t len, int timeout_ms) override {
        return device_.read(buf, len, timeout_ms);
    }
    bool product_string(std::wstring &out) override { return device_.product_string(out); }

  private:
    host::Transport &device_;
    std::chrono::steady_clock::time_point next_frame_{};
};

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void run_fleet(benchmark::State &state, bool paced) {
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
    host::FleetSettings settings;
    settings.out = [](std::string_view) {};
    settings.err = [](std::string_view) {};

    double cpu = 0;
    double slowest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::unique_ptr<host::SimTransport>> sims;
        std::vector<std::unique_ptr<PacedLink>> links;
        std::vector<host::FleetDevice> fleet;
        for (size_t i = 0; i < devices; i++) {
            sims.push_back(std::make_unique<host::SimTransport>(sim::FaultSchedule{}));
            host::Transport *link = sims.back().get();
            if (paced) {
                links.push_back(std::make_unique<PacedLink>(*sims.back()));
                link = links.back().get();
            }
            host::DeviceDescription d;
            d.serial = "SIM" + std::to_string(i + 1);
            fleet.push_back({link, d, nullptr});
        }
        state.ResumeTiming();
        const double cpu_before = cpu_seconds();
        const std::vector<host::DeviceResult> results = host::update_fleet(fleet, layout, settings);
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
    state.counters["devices"] = benchmark::Counter(static_cast<double>(devices));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * devices *
                                                 (layout.image_program + layout.tts_rounded)));
}

void BM_Fleet_MediumFiles(benchmark::State &state) {
    run_fleet(state, false);
}

void BM_Fleet_MediumFiles_PacedLink(benchmark::State &state) {
    run_fleet(state, true);
}

}  // namespace

BENCHMARK(BM_Fleet_MediumFiles)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
// Seconds per run: one run each.
BENCHMARK(BM_Fleet_MediumFiles_PacedLink)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK_MAIN();
