// Reads a fuzzer's input as a stream of small values; past its end every read gives 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    // A value in [low, high].
    int32_t in_range(int32_t low, int32_t high) { return low + int32_t(u32() % uint32_t(high - low + 1)); }

    // Fills `out` with the next bytes, zeros past the end.
    void bytes(uint8_t* out, size_t count)
    {
        if (count == 0)
            return;
        const size_t available = std::min(count, size_ - offset_);
        memcpy(out, data_ + offset_, available);
        memset(out + available, 0, count - available);
        offset_ += available;
    }
    size_t remaining() const { return size_ - offset_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};
