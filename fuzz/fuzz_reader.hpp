// FuzzReader: the fuzz targets' view of one input as a program of operations.
//
// Reads are never refused: past the end of the input every byte reads as 0, so
// a target decodes any input, however short, into a complete program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

class FuzzReader {
public:
    FuzzReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // done is true once every input byte has been read.
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    void fill(std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = byte();
    }
    // value reads sizeof(T) bytes as the bits of a T (native byte order).
    template <typename T>
    T value() {
        static_assert(std::is_trivially_copyable_v<T>);
        std::uint8_t b[sizeof(T)];
        fill(b, sizeof b);
        T v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }
    template <std::size_t N>
    std::array<std::uint8_t, N> array() {
        std::array<std::uint8_t, N> a;
        fill(a.data(), N);
        return a;
    }

private:
    const std::uint8_t* data_;  // the input, owned by libFuzzer
    std::size_t size_;          // its length in bytes
    std::size_t pos_ = 0;       // bytes read so far (may pass size_)
};
