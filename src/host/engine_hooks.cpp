#include "engine_hooks.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "engine_runner.h"

void dump_hex(const uint8_t *p_dat, int len, int number) {
    if (number <= 0) {
        return;
    }
    for (int i = 0; i < len; i += number) {
        console_printf("[%08x]: ", static_cast<unsigned>(i));
        for (int j = i; j < i + number && j < len; j++) {
            console_printf("%02x ", p_dat[j]);
        }
        console_printf("\n");
    }
}

void iap_cmd_tx(uint8_t *dat, int len) {
    host::EngineRunner *runner = host::EngineRunner::current();
    if (runner == nullptr) {
        return;
    }
    uint8_t report[host::kReportSize] = {0x01};
    const int n = std::clamp(len, 0, static_cast<int>(host::kReportSize) - 1);
    std::memcpy(report + 1, dat, static_cast<size_t>(n));
    if (runner->transport().write(report, sizeof report) < 0) {
        dump_hex(report, sizeof report, 16);
    }
}

void iap_evnet_callback(iap_event_t evt) {
    switch (evt) {
        case IAP_EVT_SUCCESS:
            console_printf("Firmware updated successfully !\r\n");
            break;
        case IAP_EVT_CMD_RX_TIMEOUT:
            console_printf("IAP_EVT_CMD_RX_TIMEOUT\r\n");
            break;
        case IAP_EVT_CMD_ERROR:
            console_printf("IAP_EVT_CMD_ERROR\r\n");
            break;
        default:
            console_printf("unknown error !\r\n");
            break;
    }
    if (host::EngineRunner *runner = host::EngineRunner::current()) {
        runner->record_event(evt);
    }
}
