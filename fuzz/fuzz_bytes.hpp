// Reads a fuzz input as a stream of small values; past its end every read
// gives zero, so any input decodes to some sequence of operations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ravik_fuzz {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int64_t i16() {
        const auto hi = static_cast<std::uint16_t>(u8() << 8);
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(hi | u8()));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace ravik_fuzz
