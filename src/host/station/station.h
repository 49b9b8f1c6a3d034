// The production station (--station): every matching board is updated as it appears, beside
// the boards already in progress, each through the one update path (UpdateRun) with its own
// record, threads and tag. Before anything is written a board is verified; one that already
// holds the files is reported current and left alone, and one that comes back after its reboot
// (same serial number, verified current) is recognised and not counted twice. With a slot map a
// board is known by its slot instead: handled once per plugging, whatever its serial number.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/discovery/device_selection.h"
#include "host/link/device_catalog.h"
#include "host/station/board_units.h"
#include "host/station/slot_map.h"
#include "host/station/station_observer.h"
#include "host/station/station_status.h"
#include "host/update/update_run.h"
#include "host/update/update_settings.h"

namespace host {

// Where a handled board sat, for its record: its slot ("" without a map) and its log file.
struct BoardPlace {
    std::string slot;
    std::string log;
};

struct StationSetup {
    DeviceQuery query;   // the IDs; serial numbers and paths, when given, filter the boards
    unsigned count = 0;  // stop after this many boards were handled; 0: until stopped
    // A job's cap: no board is taken once the successes it counts (across restarts and
    // stations) and the boards in progress reach `job_allowed`; 0: no job.
    uint64_t job_allowed = 0;
    std::function<uint64_t()> job_done;
    bool verify_only = false;             // a checking station: boards are only verified
    std::chrono::milliseconds poll{250};  // how often the catalog is asked for new boards
    bool json = false;
    bool status_block = false;  // draw the operator's panel (standard error is a terminal)
    int columns = 0;
    int rows = 0;  // the terminal's height, which bounds the panel's rows (0: unknown)
    // The stages' settings; the station adds its own console, records and interruption.
    UpdateSettings settings;
    // --record: keeps a handled board's report (may fail it); empty without --record.
    // Returns the record's id.
    std::function<std::string(const DeviceInfo &, RunReport &, const BoardPlace &)> keep_record;
    // --on-result: the program run after each board's record is durable (no arguments, never
    // through a shell), the board in HIDIAP_ variables; its output goes to the board's log, or
    // tagged onto standard error. Killed after on_result_timeout. A failing one leaves the
    // board's outcome as it is, but is said, shown and counted.
    std::string on_result;
    std::chrono::milliseconds on_result_timeout{30000};
    std::vector<std::pair<std::string, std::string>> fields;  // --field, for the hook
    std::string fields_json;                                  // the same as the record's object
    std::string firmware_version;                             // a package's, for the hook
    // --log-dir: one log file per board attempt here, its engine lines and its hook's output;
    // empty: none. logs_only: those lines go to the file only (the panel at a terminal), not
    // onto standard output.
    std::string log_dir;
    bool logs_only = false;
    // --slots: the fixture's slots. A board is known by the slot its port is in (one on a port in
    // no slot is left alone); empty: boards are known by their path and serial number.
    std::vector<Slot> slots;
    // Unit values (--unit-field): each board's own, written into its copy of the image; none
    // without. Once they are used up no further board is taken.
    BoardUnits *units = nullptr;
    // How many records wait for the database (shown on the panel); empty without one.
    std::function<unsigned()> records_waiting;
    // 0, or the exit status an interruption asks for; how many requests came.
    std::function<int()> interrupt_status;
    std::function<int()> interrupt_requests;
    // Told of the loop's turns and the boards' ways (the service manager, the status page);
    // they outlive the station.
    std::vector<StationObserver *> observers;
};

class Station {
  public:
    Station(DeviceCatalog &catalog, const Layout &layout, const UpdatePlan &plan,
            StationSetup setup);
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Runs until stopped (Ctrl-C: no new boards; again: the boards in progress are interrupted)
    // or until `count` boards were handled. One result per handled board, in the order they
    // ended.
    std::vector<DeviceResult> run();
    StationTotals totals() const;
    double seconds() const;  // how long the station ran
    // A note on standard error, above the panel; safe from any thread.
    void note(const std::string &text);

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The totals line that ends a station run.
std::string station_totals_line(const StationTotals &totals, double seconds);

}  // namespace host
