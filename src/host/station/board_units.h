// Where the station gets each board's unit values from (its serial number, its MAC address): a
// block of values reserved ahead in the records database and journalled on the station's own
// disk, so that no value ever reaches two boards and a database outage does not stop the line.
// The station asks; what stands behind it (the database, the journal) is the program's.
#pragma once

#include <optional>
#include <string>

#include "base/result.h"
#include "host/inputs/unit_values.h"

namespace host {

class BoardUnits {
  public:
    virtual ~BoardUnits() = default;
    // The values the latest success record of the board (by its USB serial number) carries;
    // none when it has none, or when the records cannot say.
    virtual std::optional<BoardUnitValues> recorded(const std::string &serial) = 0;
    // The next values, durably the board's once this returns (even if the station dies next).
    // None once the values are used up; an error while the database is away and the block is
    // spent. Called from the boards' threads.
    virtual base::Result<std::optional<BoardUnitValues>> take() = 0;
    // Values taken for a board that cannot hold them (no page holding a field was sent to it):
    // they go back to the block for another board.
    virtual void give_back(const BoardUnitValues &values) = 0;
    // A take found the values used up.
    virtual bool used_up() const = 0;
};

}  // namespace host
