// Reads typed values off the front of a fuzzer's input; once the input is used up every value
// is 0 and every span empty, so a target never reads past what it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() {
        if (pos_ >= size_) return 0;
        return data_[pos_++];
    }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    bool Bool() { return (Byte() & 1) != 0; }
    // Up to n bytes.
    std::span<const uint8_t> Take(size_t n) {
        const size_t k = n < size_ - pos_ ? n : size_ - pos_;
        std::span<const uint8_t> out(data_ + pos_, k);
        pos_ += k;
        return out;
    }
    // A piece whose length is the next byte (0..255).
    std::vector<uint8_t> Piece() {
        const auto s = Take(Byte());
        return {s.begin(), s.end()};
    }
    std::string_view Text(size_t n) {
        const auto s = Take(n);
        return {reinterpret_cast<const char*>(s.data()), s.size()};
    }
    std::span<const uint8_t> Rest() { return Take(size_ - pos_); }
    bool Empty() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace fuzz
