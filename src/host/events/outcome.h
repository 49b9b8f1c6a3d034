// How an update ended, in the words every presenter uses: the engine's outcome as the tool saw
// it, the run's status and, for a failure, its cause and the reason in words. Each enum value has
// its words in one table (outcome_words.cpp), which the outcome lines, the JSON events, the
// devices' table, the records and the station show; the words are what users' scripts read, so
// they never change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

// What the engine runner saw the run end with.
enum class Outcome {
    Success,       // IAP_EVT_SUCCESS: every range verified and the reboot answered
    Timeout,       // IAP_EVT_CMD_RX_TIMEOUT
    Error,         // IAP_EVT_CMD_ERROR as the last event: an error answer or a checksum mismatch
    Stalled,       // the engine made no progress for far longer than any step may take
    NoEvent,       // the engine went idle without raising an outcome
    Interrupted,   // the user asked the tool to stop before the outcome
    Disconnected,  // the device went away before the outcome
    WrongProduct,  // the device is not the product the firmware is for: nothing was started
    Refused,       // the board's records refuse the firmware (older than it had): not started
};

// The run as a whole; the last three end a run before any device was updated.
// Current: a --verify run found both ranges already holding the files.
enum class Status { Success, Failed, Interrupted, BadInput, NoDevice, NoPermission, Current };

// One word for scripts: why a run did not succeed.
enum class Cause {
    None,
    CrcMismatch,
    Disconnected,
    NoProgress,
    Refused,
    NotAnswered,
    Interrupted,
    SimFlash,
    WrongProduct,
    BadInput,
    NoDevice,
    NoPermission,
    Differs,    // --verify: a range does not hold its file
    Record,     // --record: the device's record could not be kept (or its records not read)
    Downgrade,  // the firmware is older than what the board's records say it had
};

// How many values each enum has, for the tables of words and the test that walks them all; a new
// value goes last in its enum and is counted here.
constexpr int kOutcomeCount = static_cast<int>(Outcome::Refused) + 1;
constexpr int kStatusCount = static_cast<int>(Status::Current) + 1;
constexpr int kCauseCount = static_cast<int>(Cause::Downgrade) + 1;

// A status in the words of each of its readers.
struct StatusWords {
    const char *word;    // the JSON `status`, the devices' table: success, failed, bad-input, ...
    const char *record;  // a record's `outcome`: success, current, failed or interrupted
    const char *board;   // the station's result for a board: updated, current, interrupted, FAILED
};

const char *outcome_word(Outcome o);  // success, timeout, error, stalled, no-event, ...
const StatusWords &status_words(Status s);
const char *status_word(Status s);  // status_words(s).word
const char *cause_word(Cause c);    // crc_mismatch, not_answered, ...; "" for None

struct RangeCheck {
    unsigned range = 0;  // 1 image, 2 TTS
    uint32_t flash_addr = 0;
    uint32_t size = 0;
    uint32_t device_crc = 0;
    uint32_t host_crc = 0;
    bool match = false;
    std::vector<uint32_t> differing_sectors;  // --verify --skip-unchanged: their flash addresses
};

// The image bytes that an overlapping layout's TTS sectors replace, as a device holds them after
// an update: [from, data_end) the TTS data, [data_end, to) erased. Empty (to == 0) without
// overlap.
struct ReplacedBytes {
    uint32_t from = 0;
    uint32_t data_end = 0;
    uint32_t to = 0;
};

struct RunReport {
    Status status = Status::Failed;
    int exit_status = 1;
    Outcome engine_outcome = Outcome::NoEvent;
    Cause cause = Cause::None;
    std::string reason;  // the failure in words; empty on success
    uint64_t bytes = 0;  // bytes the device acknowledged programming
    uint64_t total_bytes = 0;
    // --skip-unchanged: bytes of sectors already current, done without being programmed.
    uint64_t unchanged_bytes = 0;
    double seconds = 0;
    std::vector<RangeCheck> verified;
    // Ranges the device gave a CRC of that the update did not verify: every range of --verify,
    // matching or not, or the mismatch that ended an update.
    std::vector<RangeCheck> compared;
    ReplacedBytes replaced;  // named by the outcome line of a success

    // Set by fail_after_success: what the device's own run ended with (Success or Current)
    // before something after it failed the run.
    std::optional<Status> device_status;

    // The board's unit values, as the records' object of texts ({"serial":"1000000"}); "" for
    // none. Set by the station before the report is kept.
    std::string units;

    bool succeeded() const { return exit_status == 0; }
    // Turns a successful run into a failed one (the device was verified, but something the
    // user asked for afterwards could not be done).
    void fail_after_success(Cause why, std::string words);
};

// A run that ended before it reached a device.
RunReport refusal_report(Status status, int exit_status, std::string reason);

// A device that was not updated because it is another product than the firmware is for.
RunReport wrong_product_report(std::string reason, uint64_t total_bytes);

// Why a board is not to be updated at all, found before anything is sent to change its flash.
struct BoardRefusal {
    Cause cause = Cause::None;  // WrongProduct, Downgrade, Record
    std::string reason;
};

// The report of a board refused so: failed (exit status 1), nothing programmed.
RunReport board_refusal_report(const BoardRefusal &refusal, uint64_t total_bytes);

// The one line on standard error that ends every update; `tag` names the device when several
// are updated ("hidiap: [SIM0002] update failed ...").
std::string outcome_line(const RunReport &report, const std::string &tag = "");

// "image" or "TTS" for a range number.
const char *range_file(unsigned range);

}  // namespace host
