// Reads a fuzz input from the front, in the order a hand-made seed is written. Past the end every
// read yields zero bytes, so any input, however short, decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class InputReader {
  public:
    InputReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }

    // Little-endian, like every multi-byte field on the wire.
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }

    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | static_cast<uint32_t>(u16()) << 16;
    }

    void bytes(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; i++) {
            out[i] = u8();
        }
    }

    // Text up to a newline (consumed, not returned) or at most max_len bytes.
    std::string line(size_t max_len) {
        std::string text;
        while (!empty() && text.size() < max_len) {
            const char c = static_cast<char>(u8());
            if (c == '\n') {
                break;
            }
            text.push_back(c);
        }
        return text;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace fuzz
