#include "host/sim/sim_catalog.h"

#include <algorithm>
#include <cstdio>

#include "host/sim/sim_flash_file.h"
#include "host/sim/sim_transport.h"

namespace host {

namespace {

constexpr uint16_t kSimVendorId = 0x9999;
constexpr uint16_t kSimProductId = 0x8888;

std::string sim_path(int number) {
    return "sim:" + std::to_string(number);
}

}  // namespace

std::string sim_serial(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "SIM%04d", number);
    return text;
}

std::unique_ptr<SimCatalog> SimCatalog::create(const SimCatalogSetup &setup, std::string &error) {
    std::vector<sim::FaultSchedule> faults(static_cast<size_t>(setup.devices));
    for (const std::string &text : setup.faults) {
        const size_t slash = text.find('/');
        const std::string rule_text = slash == std::string::npos ? text : text.substr(slash + 1);
        sim::FaultRule rule;
        if (!sim::parse_fault_rule(rule_text, rule, error)) {
            error = "--sim-fault: '" + text + "': " + error;
            return nullptr;
        }
        bool applied = false;
        for (int n = 1; n <= setup.devices; n++) {
            if (slash == std::string::npos || text.compare(0, slash, sim_serial(n)) == 0) {
                faults[static_cast<size_t>(n - 1)].add(rule);
                applied = true;
            }
        }
        if (!applied) {
            error = "--sim-fault: '" + text + "': no simulated device has the serial number '" +
                    text.substr(0, slash) + "'";
            return nullptr;
        }
    }
    std::optional<std::string> start_flash;
    if (!setup.flash_from.empty()) {
        base::Result<std::string> content = read_sim_flash(setup.flash_from);
        if (!content.ok()) {
            error = "--sim-flash-from: cannot use '" + setup.flash_from + "': " + content.message();
            return nullptr;
        }
        start_flash = std::move(*content);
    }
    return std::unique_ptr<SimCatalog>(
        new SimCatalog(setup, std::move(faults), std::move(start_flash)));
}

bool parse_sim_arrivals(const std::string &text, std::vector<std::chrono::milliseconds> &out,
                        std::string &error) {
    out.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        unsigned long ms = 0;
        unsigned long burst = 1;
        char extra = 0;
        const int n = std::sscanf(item.c_str(), "%lux%lu%c", &ms, &burst, &extra);
        if (item.empty() || item[0] < '0' || item[0] > '9' || (n != 1 && n != 2) ||
            (n == 1 && item.find_first_not_of("0123456789") != std::string::npos) || burst < 1 ||
            ms > 86400000UL || out.size() + burst > 99) {
            error = "'" + item + "' is not MS or MSxCOUNT (at most 99 boards in all)";
            return false;
        }
        out.insert(out.end(), burst, std::chrono::milliseconds(ms));
        at = end + 1;
    }
    return true;
}

bool parse_sim_ports(const std::string &text, size_t boards, std::vector<std::string> &out,
                     std::string &error) {
    out.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        if (item.empty() || item.find_first_of(" \t") != std::string::npos) {
            error = "'" + text + "' is not a comma list of port paths (1-1,1-2.3)";
            return false;
        }
        out.push_back(item);
        at = end + 1;
    }
    if (out.size() != boards) {
        error = std::to_string(out.size()) + " port paths for " + std::to_string(boards) +
                " simulated boards: one per board, in the order they arrive";
        return false;
    }
    return true;
}

std::string SimCatalog::port_of(int number) const {
    const size_t i = static_cast<size_t>(number - 1);
    return i < setup_.ports.size() ? setup_.ports[i] : "9-" + std::to_string(number);
}

std::string SimCatalog::serial_of(int number) const {
    const size_t i = static_cast<size_t>(number - 1);
    return i < setup_.serials.size() ? setup_.serials[i] : sim_serial(number);
}

SimCatalog::SimCatalog(const SimCatalogSetup &setup, std::vector<sim::FaultSchedule> faults,
                       std::optional<std::string> start_flash)
    : setup_(setup),
      faults_(std::move(faults)),
      start_flash_(std::move(start_flash)),
      boards_(static_cast<size_t>(setup.devices)),
      created_(env().now()) {
    for (size_t i = 0; i < boards_.size(); i++) {
        boards_[i].arrival = i < setup_.arrivals.size() ? setup_.arrivals[i] : setup_.appear_after;
    }
}

bool SimCatalog::present(Board &board, Clock::time_point now) {
    if (now - created_ < board.arrival) {
        return false;
    }
    if (!board.link) {
        return true;
    }
    const auto [gone, rebooted] = board.link->with_device(
        [](sim::SimDevice &d) { return std::make_pair(d.unplugged(), d.rebooted()); });
    if (!gone) {
        return true;
    }
    if (!rebooted || !setup_.reboot_away) {
        return false;  // unplugged for good
    }
    if (!board.left) {
        board.left = now;
    }
    if (now - *board.left < *setup_.reboot_away) {
        return false;
    }
    board.link->replug();
    board.left.reset();
    return true;
}

std::vector<DeviceInfo> SimCatalog::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::vector<DeviceInfo> found;
    const Clock::time_point now = env().now();
    if ((vendor_id != 0 && vendor_id != kSimVendorId) ||
        (product_id != 0 && product_id != kSimProductId)) {
        return found;
    }
    for (int n = 1; n <= setup_.devices; n++) {
        if (!present(boards_[static_cast<size_t>(n - 1)], now)) {
            continue;
        }
        DeviceInfo info;
        info.path = sim_path(n);
        info.vendor_id = kSimVendorId;
        info.product_id = kSimProductId;
        info.serial = serial_of(n);
        info.manufacturer = "hidiap";
        info.product = "Simulated IAP device";
        info.interface_number = 0;
        info.port = port_of(n);
        found.push_back(std::move(info));
    }
    return found;
}

std::unique_ptr<Transport> SimCatalog::open(const DeviceInfo &device) {
    const Clock::time_point now = env().now();
    for (int n = 1; n <= setup_.devices; n++) {
        Board &board = boards_[static_cast<size_t>(n - 1)];
        if (device.path != sim_path(n) || !present(board, now)) {
            continue;
        }
        if (now - created_ < board.arrival + setup_.open_after) {
            // The words of the HID back end on Linux, so both paths read the same.
            open_error_ =
                "Failed to open a device with path '" + device.path + "': Permission denied";
            return nullptr;
        }
        open_error_.clear();
        if (!board.link) {
            board.link = std::make_shared<SimTransport>(faults_[static_cast<size_t>(n - 1)],
                                                        setup_.device_tick, setup_.link);
            if (const auto first = setup_.first_flash.find(sim_serial(n));
                first != setup_.first_flash.end()) {
                load_sim_flash(*board.link, first->second);
            } else if (start_flash_) {
                load_sim_flash(*board.link, *start_flash_);
            }
            if (setup_.reboot_away) {
                board.link->with_device([](sim::SimDevice &d) { d.set_leaves_on_reboot(true); });
            }
        }
        return std::make_unique<SharedSimTransport>(board.link, setup_.flash_to);
    }
    open_error_ = "Failed to open a device with path '" + device.path + "': No such device";
    return nullptr;
}

std::optional<std::vector<uint8_t>> SimCatalog::flash_of(const std::string &serial) {
    for (int n = 1; n <= setup_.devices; n++) {
        const Board &board = boards_[static_cast<size_t>(n - 1)];
        if (serial_of(n) == serial && board.link) {
            return board.link->with_device(
                [](sim::SimDevice &device) { return device.flash().bytes(); });
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> SimCatalog::flash_of_board(int number) {
    if (number < 1 || number > setup_.devices) {
        return std::nullopt;
    }
    const Board &board = boards_[static_cast<size_t>(number - 1)];
    if (!board.link) {
        return std::nullopt;
    }
    return board.link->with_device([](sim::SimDevice &device) { return device.flash().bytes(); });
}

}  // namespace host
