#include "host/discovery/access_hint.h"

#include <cstdio>

#ifndef HIDIAP_UDEV_RULE_COPY_DIR
#define HIDIAP_UDEV_RULE_COPY_DIR "/usr/local/share/hidiap/udev"
#endif

namespace host {

std::string access_hint(uint16_t vendor_id, uint16_t product_id) {
#ifdef __linux__
    char rule[160];
    std::snprintf(rule, sizeof rule,
                  "KERNEL==\"hidraw*\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                  "TAG+=\"uaccess\"",
                  vendor_id, product_id);
    return std::string(
               "hidiap: the device is there, but this user may not open its hidraw node.\n"
               "hidiap: a udev rule gives the logged-in user access (hidiap installs one for the "
               "default IDs as " HIDIAP_UDEV_RULE_COPY_DIR
               "/70-hidiap.rules):\n"
               "hidiap:   ") +
           rule +
           "\n"
           "hidiap: install it and reload udev:\n"
           "hidiap:   sudo cp " HIDIAP_UDEV_RULE_COPY_DIR
           "/70-hidiap.rules /etc/udev/rules.d/\n"
           "hidiap:   sudo udevadm control --reload-rules && sudo udevadm trigger\n"
           "hidiap: (for other IDs, put the line above in /etc/udev/rules.d/70-hidiap.rules)\n"
           "hidiap: then unplug the device and plug it in again.\n";
#else
    (void)vendor_id;
    (void)product_id;
    return "hidiap: the device is there but could not be opened; another program may hold it.\n";
#endif
}

}  // namespace host
