#include "host/library/sim_bench.h"

#include "device/flash_model.h"

namespace host {

base::Result<std::unique_ptr<SimBench>> SimBench::create(SimCatalogSetup setup,
                                                         const std::string &timing,
                                                         const std::string &flash_from) {
    if (setup.devices < 1 || setup.devices > 99) {
        return base::Error(
            base::ErrorCode::InvalidInput,
            "the simulator has 1 to 99 devices, not " + std::to_string(setup.devices));
    }
    if (!timing.empty()) {
        timing::UsbTimingFigures figures;
        std::string error;
        if (!timing::parse_usb_timing(timing, figures, error)) {
            return base::Error(base::ErrorCode::InvalidInput, "--sim-timing: " + error);
        }
        setup.link = figures;
    }
    if (flash_from.size() > sim::FlashModel::kSize) {
        return base::Error(base::ErrorCode::InvalidInput,
                           "the first flash is larger than the device's 2 MiB");
    }
    // Made once here so that a malformed rule is refused now, not at the first run.
    std::string error;
    if (!SimCatalog::create(setup, error)) {
        return base::Error(base::ErrorCode::InvalidInput, error);
    }
    std::unique_ptr<SimBench> bench(new SimBench(setup));
    std::string erased(sim::FlashModel::kSize, static_cast<char>(sim::FlashModel::kErased));
    erased.replace(0, flash_from.size(), flash_from);
    for (int n = 1; n <= setup.devices; n++) {
        bench->flashes_[sim_serial(n)] = erased;
    }
    return bench;
}

std::unique_ptr<SimCatalog> SimBench::catalog() {
    SimCatalogSetup setup = setup_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        setup.first_flash = flashes_;
    }
    std::string error;
    return SimCatalog::create(setup, error);
}

base::Status SimBench::claim(const std::string &serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!claimed_.insert(serial).second) {
        return base::Error(base::ErrorCode::Busy,
                           "the simulated device " + serial + " is being updated by another run");
    }
    return {};
}

void SimBench::release(const std::string &serial, SimCatalog &catalog) {
    std::optional<std::vector<uint8_t>> flash = catalog.flash_of(serial);
    std::lock_guard<std::mutex> lock(mutex_);
    if (flash) {
        flashes_[serial].assign(flash->begin(), flash->end());
    }
    claimed_.erase(serial);
}

base::Result<std::string> SimBench::flash(const std::string &serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = flashes_.find(serial);
    if (it == flashes_.end()) {
        return base::Error(base::ErrorCode::NotFound,
                           "no simulated device has the serial number '" + serial + "'");
    }
    return it->second;
}

}  // namespace host
