// Builds request reports and reads answer reports for the device tests, on its own CRC-16 so that
// a fault in the device's framing cannot be mirrored by the frames the tests send.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "device/sim_device.h"

namespace wire {

using Bytes = std::vector<uint8_t>;

// CRC-16/CCITT-FALSE fed one message bit at a time.
inline uint16_t crc16(const uint8_t *data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; i++) {
        for (int bit = 7; bit >= 0; bit--) {
            const bool in = ((data[i] >> bit) & 1) != 0;
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (in != top) {
                crc ^= 0x1021;
            }
        }
    }
    return crc;
}

inline void put16(Bytes &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put32(Bytes &b, uint32_t v) {
    put16(b, v);
    put16(b, v >> 16);
}

inline Bytes frame(uint8_t command, const Bytes &payload = {}) {
    Bytes f{0xA5};
    put16(f, static_cast<uint32_t>(payload.size() + 6));
    f.push_back(command);
    f.insert(f.end(), payload.begin(), payload.end());
    put16(f, crc16(f.data(), f.size()));
    return f;
}

// The 64-byte output report that carries a frame: ID 0x01, then the frame's first 63 bytes.
inline sim::Report report(const Bytes &frame_bytes) {
    sim::Report r{};
    r[0] = sim::kOutputReportId;
    for (size_t i = 0; i < frame_bytes.size() && i + 1 < r.size(); i++) {
        r[i + 1] = frame_bytes[i];
    }
    return r;
}

inline bool send(sim::SimDevice &dev, uint8_t command, const Bytes &payload = {}) {
    const sim::Report r = report(frame(command, payload));
    return dev.receive(r.data(), r.size());
}

inline Bytes addr_payload(uint32_t addr) {
    Bytes p;
    put32(p, addr);
    return p;
}

inline Bytes check_payload(uint32_t addr, uint32_t len) {
    Bytes p;
    put32(p, addr);
    put32(p, len);
    return p;
}

inline Bytes write_payload(uint32_t addr, const Bytes &data) {
    Bytes p;
    put32(p, addr);
    put16(p, static_cast<uint32_t>(data.size()));
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

// A page-buffer chunk: address, count, data, one trailing byte.
inline Bytes chunk_payload(uint32_t addr, const uint8_t *data, size_t count) {
    Bytes p;
    put32(p, addr);
    put16(p, static_cast<uint32_t>(count));
    p.insert(p.end(), data, data + count);
    p.push_back(0x00);
    return p;
}

// Sends a page as the host does: chunks of up to 53 bytes, none crossing the page end.
inline void send_page(sim::SimDevice &dev, uint32_t addr, const Bytes &data) {
    size_t done = 0;
    while (done < data.size()) {
        size_t c = std::min<size_t>(53, data.size() - done);
        c = std::min<size_t>(c, 256 - (addr + done) % 256);
        send(dev, 0x93, chunk_payload(static_cast<uint32_t>(addr + done), data.data() + done, c));
        done += c;
    }
}

struct Answer {
    bool valid = false;  // report ID, head, mark and CRC-16 all right
    uint8_t command = 0;
    uint8_t result = 0xFF;
    uint16_t length = 0;
    uint32_t crc32 = 0;
};

inline Answer parse(const sim::Report &r) {
    Answer a;
    const uint8_t *f = r.data() + 1;
    a.length = static_cast<uint16_t>(f[1] | f[2] << 8);
    a.command = f[4];
    a.result = f[5];
    a.crc32 = static_cast<uint32_t>(f[6] | f[7] << 8 | f[8] << 16) | static_cast<uint32_t>(f[9])
                                                                         << 24;
    a.valid =
        r[0] == sim::kInputReportId && f[0] == 0xA5 && f[3] == 0x80 && a.length >= 8 &&
        a.length <= 63 &&
        crc16(f, a.length - 2u) == static_cast<uint16_t>(f[a.length - 2] | f[a.length - 1] << 8);
    return a;
}

// Pops every ready answer.
inline std::vector<Answer> drain(sim::SimDevice &dev) {
    std::vector<Answer> all;
    sim::Report r;
    while (dev.pop_answer(r)) {
        all.push_back(parse(r));
    }
    return all;
}

// Sends one frame and expects exactly one answer to it; returns its result.
inline Answer exchange(sim::SimDevice &dev, uint8_t command, const Bytes &payload = {}) {
    send(dev, command, payload);
    const std::vector<Answer> all = drain(dev);
    return all.size() == 1 ? all[0] : Answer{};
}

}  // namespace wire
