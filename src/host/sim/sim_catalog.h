// The simulated devices as a catalog: N devices with serial numbers SIM0001, SIM0002, ... at
// paths sim:1, sim:2, ... on USB ports 9-1, 9-2, ... (or the ports given), each with its own flash
// and fault schedule. For trying discovery without hardware they can also appear late, or refuse to
// open for a while, as a device does whose node udev has not yet handed to the user.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/sim_device.h"
#include "host/link/device_catalog.h"
#include "host/sim/sim_transport.h"
#include "timing/usb_timing.h"

namespace host {

struct SimCatalogSetup {
    int devices = 1;
    // Rule texts; "SERIAL/RULE" applies to that device only, a bare rule to every device.
    std::vector<std::string> faults;
    std::chrono::milliseconds appear_after{0};  // enumerated only after this
    std::chrono::milliseconds open_after{0};    // then opens fail (permission) this long
    std::chrono::microseconds device_tick{std::chrono::milliseconds(10)};
    std::optional<timing::UsbTimingFigures> link;  // the link's timing; none: answers at once
    // When each board appears, from the start; one entry per board (then `devices` is their
    // number). Empty: every board appears after appear_after.
    std::vector<std::chrono::milliseconds> arrivals;
    // A board that reboots leaves the bus at once (its answer to the reboot lost) and is back
    // this long after, with the same serial number and flash, its application started. None: a
    // board stays.
    std::optional<std::chrono::milliseconds> reboot_away;
    // --sim-flash-from: the file whose content every board's flash starts with when the board
    // is first opened, read when the catalog is made; empty: erased.
    std::string flash_from;
    // By serial number: the content a board's flash starts with when it is first opened, in
    // place of flash_from's (a program that keeps boards' flashes across catalogs).
    std::map<std::string, std::string> first_flash;
    // --sim-flash: where each board's flash is written when an update of it is over; empty:
    // nowhere.
    std::string flash_to;
    // --sim-ports: each board's USB port path, in the boards' order; empty: board N on "9-N". A
    // board that leaves and comes back returns to its port.
    std::vector<std::string> ports;
    // --sim-serials: each board's serial number, in the boards' order ("" for none, repeats
    // allowed); empty: SIM0001, SIM0002, ...
    std::vector<std::string> serials;
};

// "1-1,1-2.3": one USB port path per board. False with the reason in error when an entry is
// empty or the count is not `boards`.
bool parse_sim_ports(const std::string &text, size_t boards, std::vector<std::string> &out,
                     std::string &error);

// "0,500,1000x4": board arrival times in milliseconds, NxK for K boards at once. False with the
// reason in error when the text is not such a list.
bool parse_sim_arrivals(const std::string &text, std::vector<std::chrono::milliseconds> &out,
                        std::string &error);

std::string sim_serial(int number);  // 1 -> "SIM0001"

class SimCatalog : public DeviceCatalog {
  public:
    // Null when a rule is malformed or names a serial no simulated device has, or the flash
    // file cannot be used; error says which, led by the option ("--sim-fault: ...").
    static std::unique_ptr<SimCatalog> create(const SimCatalogSetup &setup, std::string &error);

    std::vector<DeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::unique_ptr<Transport> open(const DeviceInfo &device) override;
    std::string open_error() const override { return open_error_; }

    // The flash of the board with this serial number as it is now, for a look at it; none when
    // no board has it or the board was never opened.
    std::optional<std::vector<uint8_t>> flash_of(const std::string &serial);
    // The same for board N (from 1), whatever its serial.
    std::optional<std::vector<uint8_t>> flash_of_board(int number);

  private:
    using Clock = std::chrono::steady_clock;
    // A board is one simulated device for the whole run: opened again, it is the same device.
    struct Board {
        std::chrono::milliseconds arrival{0};
        std::shared_ptr<SimTransport> link;     // from its first opening on
        std::optional<Clock::time_point> left;  // when it was first seen gone after its reboot
    };
    SimCatalog(const SimCatalogSetup &setup, std::vector<sim::FaultSchedule> faults,
               std::optional<std::string> start_flash);
    // Whether the board is on the bus now; brings one back whose time away is over.
    bool present(Board &board, Clock::time_point now);
    std::string port_of(int number) const;
    std::string serial_of(int number) const;

    SimCatalogSetup setup_;
    std::vector<sim::FaultSchedule> faults_;  // one per device
    std::optional<std::string> start_flash_;  // the content of flash_from
    std::vector<Board> boards_;
    Clock::time_point created_;
    std::string open_error_;
};

}  // namespace host
