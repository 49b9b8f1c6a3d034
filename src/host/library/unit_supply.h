// The station's unit values: blocks reserved ahead in the records database and kept in a journal
// on the station's own disk, one value per field handed to each board.
//
// Invariants. A value is handed to a board only after the journal says so on disk ("taken"), so
// a station that dies at any moment never hands it out again. A value is in at most one state
// for this station: available (reserved, not taken), taken (a board may hold it; its record says
// which), or given back (available again: no page holding it reached the board). The database's
// reservation comes before the journal's line; a reservation the journal never heard of (the
// station died in between) is a gap, never a value given twice. Values still available at the
// end are returned to the database, or kept in the journal for this station's next run while the
// database is away.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/inputs/unit_values.h"
#include "host/platform/env.h"
#include "host/records/record_writer.h"
#include "host/station/board_units.h"

namespace host {

class UnitSupply : public BoardUnits {
  public:
    // Opens (or makes) JOURNAL and holds it: Busy when another station process holds it. The
    // writer must outlive the supply. BLOCK values of each field are reserved at a time.
    static base::Result<std::unique_ptr<UnitSupply>> open(std::vector<UnitSource> sources,
                                                          RecordWriter &writer,
                                                          const std::string &station,
                                                          const std::string &journal, size_t block);
    ~UnitSupply() override;

    std::optional<BoardUnitValues> recorded(const std::string &serial) override;
    base::Result<std::optional<BoardUnitValues>> take() override;
    void give_back(const BoardUnitValues &values) override;
    bool used_up() const override;
    // --timing-report: a note per take with the time it took, and each reservation's.
    void report_timing(std::function<void(const std::string &)> note);
    // Values available now in the station's block, by field.
    std::vector<size_t> available() const;
    // The station is over: the values still available go back to the database. What could not
    // go back (the database away) and stays for the next run, said as a note; "" when all went.
    std::string finish();

  private:
    UnitSupply(std::vector<UnitSource> sources, RecordWriter &writer, std::string station,
               size_t block);
    base::Status replay(const std::string &text);
    base::Status write_line(const std::string &line);
    base::Status reserve_locked(size_t field);
    bool in_series(size_t field, uint64_t number) const;

    const std::vector<UnitSource> fields_;
    RecordWriter &writer_;
    const std::string station_;
    const size_t block_;
    mutable std::mutex mutex_;  // the blocks and the journal, shared by the boards' threads
    std::unique_ptr<File> lock_;
    std::unique_ptr<File> journal_;
    std::vector<std::vector<uint64_t>> available_;  // by field, lowest (or the list's first) last
    // Read by the station's loop without the lock, which a reservation may hold for seconds.
    std::atomic<bool> used_up_{false};
    SteadyTime retry_after_{};  // the database was away: not asked again before then
    std::function<void(const std::string &)> timing_;
    bool broken_ = false;  // a failed line could not be cut off again: nothing more is handed out
};

// The series the database allocates a field's values from.
UnitSeries unit_series(const UnitSource &source);

// Where a station's journal lives by default: hidiap/units in the user's state folder, named by
// the records' destination and the station.
std::string default_unit_journal(const std::string &destination, const std::string &station);

}  // namespace host
