// Uses each embedded library once: a HEX line read by the formats, the engine's CRC, and a
// simulated device answering the unlock frame.
#include <cstdio>
#include <cstring>

#include "device/sim_device.h"
#include "engine/iap.h"
#include "formats/image_formats.h"

int main() {
    const char hex[] = ":0400000001020304F2\n:00000001FF\n";
    const auto format =
        formats::detect_format(reinterpret_cast<const uint8_t *>(hex), sizeof hex - 1);
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint32_t crc = iap_calculate_CRC32(0xFFFFFFFF, const_cast<uint8_t *>(digits), 9);
    sim::SimDevice device{sim::FaultSchedule{}};
    uint8_t unlock[64] = {0x01, 0xA5, 0x06, 0x00, 0x82, 0x99, 0xD1};
    const bool received = device.receive(unlock, sizeof unlock);
    std::printf("format %s, crc %08x, device answered %d\n", formats::format_name(format), crc,
                received && device.answers_ready() == 1);
    return format == formats::Format::IntelHex && crc == 0x340BC6D9 && received ? 0 : 1;
}
