#include "update_run.h"

#include <chrono>
#include <cstdio>

#include "engine_hooks.h"
#include "engine_runner.h"
#include "host_buffers.h"
#include "observed_transport.h"
#include "platform.h"
#include "run_observer.h"
#include "run_report.h"
#include "workers.h"

namespace host {

namespace {

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

RunReport run_update(Transport &device, const Layout &layout, RunEvents &events,
                     ProgressDisplay *progress, const RunTuning &tuning,
                     const UpdateSettings &settings) {
    is_1mb = layout.is_1mb ? 1 : 0;
    tts_size = static_cast<int>(layout.tts_rounded);
    iap.update_file_num = 2;
    iap_init(&iap, iap_cmd_tx, iap_evnet_callback);
    iap.local_img_buf = img_file;
    iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
    iap.skip_unchanged = settings.skip_unchanged ? 1 : 0;
    iap.skip_blank = settings.skip_blank ? 1 : 0;

    RunObserver observer(events, uint64_t{layout.image_program} + layout.tts_rounded);
    ObservedTransport observed(device, observer);
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome;
    double seconds = 0;  // to the outcome; stopping the workers is not part of the update
    {
        EngineRunner runner(observed, iap);
        runner.set_observer([&observer](const iap_env_t &record) { observer.on_record(record); });
        if (progress != nullptr) {
            progress->install();
        }
        Workers workers(runner, observed, tuning.tick_period);
        workers.start();
        runner.start(kImageStart, layout.image_program, kImageStart);
        outcome =
            runner.wait_for_outcome(tuning.stall_limit, [] { return interrupt_requested() != 0; });
        const auto elapsed = std::chrono::steady_clock::now() - started;
        seconds = std::chrono::duration<double>(elapsed).count();
        if (settings.timing_report) {
            report_timing(elapsed, workers.tick_stats(), settings.link, layout);
        }
        if (progress != nullptr) {
            progress->uninstall();
        }
        if (outcome == Outcome::Stalled) {
            std::fprintf(stderr, "hidiap: the update made no progress for %lld s; giving up\n",
                         static_cast<long long>(tuning.stall_limit.count() / 1000));
        }
        workers.stop();
    }
    const int interrupted = outcome == Outcome::Interrupted ? interrupt_requested() : 0;
    return make_run_report(observer.facts(), outcome, interrupted, seconds);
}

}  // namespace host
