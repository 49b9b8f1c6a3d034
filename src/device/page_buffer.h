// Collects the chunks of one 256-byte flash page sent with the page-buffer command. A page is
// closed by its last chunk: one that ends on the page boundary or carries fewer than a full
// chunk's bytes. Only a run of chunks that starts at the page's first byte and leaves no gap is
// complete; anything else would program a page with holes while answering success.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

class PageBuffer {
  public:
    static constexpr uint32_t kPageSize = 0x100;
    static constexpr uint32_t kChunkMax = 53;  // data bytes that fit a 64-byte report

    enum class Outcome : uint8_t {
        kPending,     // chunk stored, page not closed yet: no answer
        kComplete,    // last chunk of a whole run: program page_address() with data()/filled()
        kIncomplete,  // last chunk, but chunks were missing, repeated or out of order
        kRejected,    // chunk crosses a page boundary, leaves the flash or is empty
    };

    // Takes one chunk of len bytes for flash address addr, inside a flash of flash_size bytes.
    Outcome add(uint32_t addr, const uint8_t *data, size_t len, uint32_t flash_size);

    // Forgets the page being collected (the device restarted, or the run was refused).
    void reset() { open_ = false; }
    bool open() const { return open_; }

    // The page just closed: its address and its bytes [0, filled()).
    uint32_t page_address() const { return base_; }
    const uint8_t *data() const { return bytes_.data(); }
    size_t filled() const { return next_; }

  private:
    std::array<uint8_t, kPageSize> bytes_{};
    uint32_t base_ = 0;
    uint32_t next_ = 0;  // page offset the next chunk must start at
    bool open_ = false;
    bool broken_ = false;
};

}  // namespace sim
