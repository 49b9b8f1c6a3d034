#include "device/page_buffer.h"

#include <cstring>

namespace sim {

PageBuffer::Outcome PageBuffer::add(uint32_t addr, const uint8_t *data, size_t len,
                                    uint32_t flash_size) {
    const uint32_t offset = addr % kPageSize;
    if (len == 0 || len > kChunkMax || offset + len > kPageSize ||
        static_cast<uint64_t>(addr) + len > flash_size) {
        open_ = false;
        return Outcome::kRejected;
    }
    const uint32_t base = addr - offset;
    if (!open_ || base != base_) {
        // A new page: whatever was collected for another page never got its last chunk, and the
        // host was never told it was written, so it is dropped.
        open_ = true;
        base_ = base;
        next_ = 0;
        broken_ = false;
    }
    if (offset != next_) {
        broken_ = true;
    }
    std::memcpy(bytes_.data() + offset, data, len);
    next_ = offset + static_cast<uint32_t>(len);

    const bool last = next_ == kPageSize || len < kChunkMax;
    if (!last) {
        return Outcome::kPending;
    }
    open_ = false;
    return broken_ ? Outcome::kIncomplete : Outcome::kComplete;
}

}  // namespace sim
