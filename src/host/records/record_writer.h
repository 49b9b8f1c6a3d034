// The durable record of each handled device (--record): one record per device, kept before the
// device is reported done. JSON Lines; an SQLite database when the destination ends in .sqlite or
// .db (in any case); a PostgreSQL database for a postgresql:// or postgres:// URI (the scheme in
// any case), through a spool file on the station's own disk while the server is away. The fields
// and tables are described in the README ("Records") and docs/records-database.md.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/platform/env.h"

namespace host {

struct DeviceRecord {
    std::string id;        // unique across stations: a random UUID (version 4)
    std::string time_utc;  // ISO 8601, UTC, milliseconds: 2026-12-09T04:40:05.123Z
    std::string station;   // the host name, or --station-name
    std::string tool_version;
    std::string device_path;
    std::string serial;
    std::string manufacturer;
    std::string product;
    std::string image_path;
    uint64_t image_size = 0;
    std::string image_sha256;
    std::string tts_path;
    uint64_t tts_size = 0;
    std::string tts_sha256;
    std::string token;
    std::string outcome;  // success, current, failed, interrupted
    std::string cause;    // empty for success and current
    std::string reason;
    uint64_t bytes_programmed = 0;
    double seconds = 0;
    std::optional<uint32_t> image_crc;  // the device's CRC-32 of the range, when it gave one
    std::optional<uint32_t> tts_crc;
    // A firmware package's version, and the key ID and trusted comment of its signature; empty
    // for loose files and unsigned packages.
    std::string firmware_version;
    std::string signature_key_id;
    std::string trusted_comment;
    // The package's security counter (0 without one, and for loose files).
    uint64_t security_counter = 0;
    // Where the board sat: its USB port path and the station's slot of it (--slots); empty when
    // not known.
    std::string port;
    std::string slot;
    // --field KEY=VALUE: a JSON object's compact text, {"lot":"7","work_order":"WO-1"}; "" for
    // none.
    std::string fields;
    // The board attempt's log file (the station's --log-dir); "" for none.
    std::string log;
    // The ID of the job the station ran under (the SHA-256 of the job file); "" for none.
    std::string job;
    // The board's unit values: a JSON object's compact text of field name -> value text,
    // {"mac":"02:00:00:00:00:01","serial":"1000000"}; "" for none.
    std::string units;
};

// What the records hold of a board's earlier successes, by its serial number.
struct BoardHistory {
    bool consulted = false;        // the destination is a database that was asked
    bool succeeded = false;        // it holds at least one success of the board
    uint64_t highest_counter = 0;  // the highest security_counter of those successes
    std::string firmware_version;  // the latest success's; "" when it carried none
    // The units of the latest success that carried any (the record's object text); "" for none.
    std::string units;
};

// The values a unit field takes its numbers from: a range [first, last] (inclusive), or a
// list (numbers in the list's order, each once). Numbers are at most INT64_MAX.
struct UnitSeries {
    std::string field;
    bool is_list = false;
    uint64_t first = 0, last = 0;  // a range
    std::vector<uint64_t> list;    // a list
};

using RecordNotes = std::function<void(const std::string &line)>;

class RecordWriter {
  public:
    virtual ~RecordWriter() = default;
    // Appends one record and returns once it is durable (written, flushed and synced; in a
    // database a committed transaction; for PostgreSQL at least in the spool). Safe to call from
    // several threads; several processes may append to one destination at once. A record that
    // could not be kept leaves the destination as it was (no part of a line, no row).
    virtual base::Status append(const DeviceRecord &record) = 0;
    // Records kept on this machine that the database has not taken yet, while it is away.
    virtual unsigned waiting() const { return 0; }
    // The board's earlier successes as the destination holds them; not consulted (JSON Lines).
    // A database that cannot be read is an error, never an empty history.
    virtual base::Result<BoardHistory> board_history(const std::string &serial) {
        (void)serial;
        return BoardHistory{};
    }
    // How many boards the destination holds as updated under the job (its ID). Only a database
    // can say: JSON Lines are refused (InvalidInput).
    virtual base::Result<uint64_t> job_successes(const std::string &job) {
        (void)job;
        return base::Error(base::ErrorCode::InvalidInput,
                           "a job's boards are counted in a database (SQLite or PostgreSQL), not "
                           "in JSON Lines");
    }
    // Reserves up to COUNT free values of the series for STATION in one transaction, the lowest
    // first for a range (holes left by returned values first), the list's order for a list.
    // Fewer (or none) when the series is used up. Unavailable when the database cannot be
    // reached (a PostgreSQL destination is asked over a connection of its own, like
    // board_history), never a partial reservation that is not committed. Only a database can
    // allocate: JSON Lines are refused (InvalidInput).
    virtual base::Result<std::vector<uint64_t>> reserve_units(const UnitSeries &series,
                                                              size_t count,
                                                              const std::string &station) {
        (void)series;
        (void)count;
        (void)station;
        return units_refused();
    }
    // Gives back values STATION reserved and no board got: their rows are deleted (only rows of
    // that station).
    virtual base::Status return_units(const std::string &field,
                                      const std::vector<uint64_t> &numbers,
                                      const std::string &station) {
        (void)field;
        (void)numbers;
        (void)station;
        return units_refused();
    }
    // The lowest free value of the series (the first free one of a list), reserving nothing;
    // nullopt when used up. For --dry-run.
    virtual base::Result<std::optional<uint64_t>> next_free_unit(const UnitSeries &series) {
        (void)series;
        return units_refused();
    }
    // Where the writer's own notes go from now on (a file made again, the database away and
    // back, a record set aside).
    virtual void set_notes(RecordNotes notes) { (void)notes; }
    // The run is over: a last, bounded, attempt to hand over what waits (for a file: a last look
    // that its name still names it, or it is made again with the run's records). The note that
    // says what still waits and where, or what could not be done, or "".
    virtual std::string finish() { return ""; }

  protected:
    static base::Error units_refused() {
        return base::Error(base::ErrorCode::InvalidInput,
                           "unit values are allocated in a database (SQLite or PostgreSQL), not "
                           "in JSON Lines");
    }
};

struct RecordDestination {
    std::string target;      // the --record argument: a file or a database URI
    std::string spool_file;  // --record-spool: the database's spool; "" for the default
    RecordNotes notes;       // notes while opening (standard error when empty)
    // --timing-report: a note for each record a database committed, with the time it took from
    // the record being kept.
    bool timing_report = false;
};

// Opens the destination (creates a file when missing) and proves it usable, before any device is
// touched: a FIFO, a device, a directory, an SQLite table that no hidiap wrote and a libpq
// connection string are refused. A database that cannot be reached is not a reason: its records
// wait in the spool.
base::Result<std::unique_ptr<RecordWriter>> open_record_writer(
    const RecordDestination &destination);

// A fresh record id (a version 4 UUID from the system's random source), the current UTC time in
// the record's form, and this machine's name.
base::Result<std::string> new_record_id();
std::string utc_now_iso8601();
std::string station_name();
// TIME in the record's form: 2026-12-09T04:40:05.123Z.
std::string iso8601_utc(WallTime time);

}  // namespace host
