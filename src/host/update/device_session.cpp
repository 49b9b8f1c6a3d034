#include "host/update/device_session.h"

#include "console/console.h"
#include "globals/iap_globals.h"
#include "host/inputs/input_sources.h"
#include "host/platform/wide_text.h"
#include "host/run/run_report.h"
#include "host/update/image_as_updated.h"
#include "host/update/tagged_console.h"

namespace host {

DeviceSession::DeviceSession(size_t index, Transport &device, DeviceInfo info, std::string tag,
                             RunEvents &events, const Layout &layout,
                             const UpdateSettings &settings, bool queued, uint8_t *image)
    : index_(index),
      device_(device),
      info_(std::move(info)),
      tag_(std::move(tag)),
      events_(events),
      layout_(layout),
      settings_(settings),
      record_(index == 0 && !settings.own_records ? iap : own_record_),
      observer_(events, uint64_t{layout.image_program} + layout.tts_rounded),
      observed_(device, observer_) {
    prepare_record(record_, image, IMG_FILE_BUF_SIZE, settings.skip_unchanged, settings.skip_blank);
    Transport *frames_to = &observed_;
    if (queued) {
        queued_ = std::make_unique<QueuedTransport>(
            observed_, [index](const uint8_t *report, size_t len) {
                const TaggedConsole::DeviceScope scope(index);
                dump_hex(report, static_cast<int>(len), 16);
            });
        frames_to = queued_.get();
    }
    runner_ = std::make_unique<EngineRunner>(*frames_to, record_);
    runner_->set_observer([this](const iap_env_t &record) { observer_.on_record(record); });
}

DeviceSession::~DeviceSession() {
    stop();
}

Transport &DeviceSession::reader_transport() {
    if (queued_) {
        return *queued_;
    }
    return observed_;
}

std::string DeviceSession::head() const {
    return tag_.empty() ? "hidiap: " : "hidiap: [" + tag_ + "] ";
}

void DeviceSession::announce() {
    std::wstring product;
    if (device_.product_string(product)) {
        info_.product = to_utf8(product);
        if (!settings_.json) {
            const TaggedConsole::DeviceScope scope(index_);
            console_printf("Product String     : %s\n", info_.product.c_str());
        }
    }
    events_.device(info_);
}

std::optional<BoardRefusal> DeviceSession::refusal() const {
    if (std::string why = product_refusal(settings_.expected_product, info_.product);
        !why.empty()) {
        return BoardRefusal{Cause::WrongProduct, std::move(why)};
    }
    // A verify changes nothing, so older firmware is only compared, never refused.
    if (!settings_.verify && settings_.board_check) {
        return settings_.board_check(info_);
    }
    return std::nullopt;
}

RunReport DeviceSession::refused_report(const BoardRefusal &why,
                                        const std::function<void(const std::string &)> &note) {
    RunReport report =
        board_refusal_report(why, uint64_t{layout_.image_program} + layout_.tts_rounded);
    keep_after_update(report, note);
    return report;
}

void DeviceSession::keep_after_update(RunReport &report,
                                      const std::function<void(const std::string &)> &note) {
    const base::Status kept = device_.keep_after_update(tag_);
    if (!kept.ok()) {
        note("hidiap: " + kept.message() + "\n");
        report.fail_after_success(Cause::SimFlash, "the simulated flash could not be written");
    }
}

void DeviceSession::plan(const UpdatePlan &plan) {
    events_.plan(plan);
}

void DeviceSession::start() {
    if (queued_) {
        queued_->start();
    }
    started_ = env().now();
    if (settings_.verify) {
        runner_->verify(kImageStart, layout_.image_program, kImageStart);
    } else {
        runner_->start(kImageStart, layout_.image_program, kImageStart);
    }
}

RunReport DeviceSession::finish(Outcome outcome, Clock::time_point ended, int interrupt_status,
                                const std::function<void(const std::string &)> &note) {
    // Nothing of the engine reaches the device any more: its flash is what it will stay.
    runner_->halt();
    const double seconds = std::chrono::duration<double>(ended - started_).count();
    RunReport report = make_run_report(observer_.facts(), outcome, interrupt_status, seconds);
    report.replaced = replaced_bytes(layout_);
    if (outcome == Outcome::Stalled) {
        note(head() + "the update made no progress for " +
             std::to_string(settings_.stall_limit.count() / 1000) + " s; giving up\n");
    }
    keep_after_update(report, note);
    // The engine gives up on a device that stopped answering with its time-out line; one that
    // went away, or a run that stood still, ends before the engine gets there, and standard
    // output would otherwise end without any outcome.
    if ((outcome == Outcome::Disconnected || outcome == Outcome::Stalled) && !settings_.json) {
        const TaggedConsole::DeviceScope scope(index_);
        console_printf("IAP_EVT_CMD_RX_TIMEOUT\r\n");
    }
    return report;
}

void DeviceSession::stop() {
    if (queued_) {
        queued_->stop();
    }
}

}  // namespace host
