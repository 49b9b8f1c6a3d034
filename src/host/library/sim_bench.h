// The library's simulated devices: their setup (count, fault rules, timing, appearance) and each
// one's flash, which lasts across runs. Each run gets a catalog of its own, made from the setup
// and the flashes as they are, so its fault rules count from the start, as in a run of the tool;
// the flash of the device it used is taken back from it when it ends.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/result.h"
#include "host/sim/sim_catalog.h"

namespace host {

class SimBench {
  public:
    // Refused (InvalidInput, with the option's words) for a malformed rule or timing, or a
    // flash larger than the device's.
    static base::Result<std::unique_ptr<SimBench>> create(SimCatalogSetup setup,
                                                          const std::string &timing,
                                                          const std::string &flash_from);

    const SimCatalogSetup &setup() const { return setup_; }
    // A catalog for one run: every device, with its flash as it is now.
    std::unique_ptr<SimCatalog> catalog();
    // A device for one run: Busy while another run has it.
    base::Status claim(const std::string &serial);
    // The run is over: the device's flash as the run left it, and it is free again.
    void release(const std::string &serial, SimCatalog &catalog);
    // NotFound for a serial no device has.
    base::Result<std::string> flash(const std::string &serial);

  private:
    explicit SimBench(SimCatalogSetup setup) : setup_(std::move(setup)) {}

    SimCatalogSetup setup_;
    std::mutex mutex_;
    std::map<std::string, std::string> flashes_;  // by serial
    std::set<std::string> claimed_;
};

}  // namespace host
