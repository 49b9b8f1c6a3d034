// CPU cost of a whole update of the largest files, engine and simulated device together, with
// no wire in between: what the tool itself adds to a run's time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "console/console.h"
#include "device/sim_device.h"
#include "engine/iap.h"
#include "globals/iap_globals.h"

namespace {

sim::SimDevice *device = nullptr;
int outcome = -1;

void tx(uint8_t *frame, int len) {
    uint8_t report[64] = {0x01};
    std::memcpy(report + 1, frame, static_cast<size_t>(std::min(len, 63)));
    device->receive(report, sizeof report);
}

void on_event(iap_event_t evt) {
    outcome = static_cast<int>(evt);
}

void BM_WholeRun_LargestFiles(benchmark::State &state) {
    const ConsoleSinkScope quiet([](std::string_view) {});
    for (size_t i = 0; i < IMG_FILE_BUF_SIZE; i++) {
        img_file[i] = static_cast<uint8_t>(i * 31);
    }
    for (size_t i = 0; i < TTS_FILE_BUF_SIZE; i++) {
        tts_file[i] = static_cast<uint8_t>(i * 17);
    }
    tts_size = static_cast<int>(TTS_FILE_BUF_SIZE);
    is_1mb = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        sim::SimDevice sim_device;
        device = &sim_device;
        iap_env_t iap{};
        iap.update_file_num = 2;
        iap_init(&iap, tx, on_event);
        iap.local_img_buf = img_file;
        iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
        iap_start(&iap, 0x8000, IMG_FILE_BUF_SIZE - 0x8000, 0x8000);
        sim::Report answer;
        while (iap.state != IAP_ST_IDLE) {
            if (sim_device.pop_answer(answer)) {
                iap_rx_callback(&iap, answer.data() + 1, 63);
            } else {
                iap_timer_callback(&iap);
            }
        }
        if (outcome != IAP_EVT_SUCCESS) {
            state.SkipWithError("run did not succeed");
            break;
        }
        frames += sim_device.frames_received_total();
    }
    state.counters["frames/run"] =
        benchmark::Counter(static_cast<double>(frames) / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() *
                                                 (IMG_FILE_BUF_SIZE - 0x8000 + TTS_FILE_BUF_SIZE)));
}

}  // namespace

BENCHMARK(BM_WholeRun_LargestFiles)->Unit(benchmark::kMillisecond);
