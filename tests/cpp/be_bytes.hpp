// Big-endian byte builders and readers for test fixtures: the values' FITS bytes appended to
// a buffer, read back, or turned between unsigned and offset-signed storage word by word.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "data/pixel.hpp"
#include "util/bytes.hpp"

namespace vexlo {

template <class W>
inline void push_be_word(W v, Bytes& out) {
    const std::size_t at = out.size();
    out.resize(at + sizeof(W));
    store_be(out.data() + at, v);
}

inline void push_be_u16(std::uint16_t v, Bytes& out) {
    push_be_word(v, out);
}
inline void push_be_u32(std::uint32_t v, Bytes& out) {
    push_be_word(v, out);
}
inline void push_be_u64(std::uint64_t v, Bytes& out) {
    push_be_word(v, out);
}
inline void push_be_f32(float v, Bytes& out) {
    push_be_word(std::bit_cast<std::uint32_t>(v), out);
}
inline void push_be_f64(double v, Bytes& out) {
    push_be_word(std::bit_cast<std::uint64_t>(v), out);
}

// The value held big-endian in the first 8 bytes (the caller passes at least 8).
inline std::uint64_t read_be_u64(ByteSpan bytes) {
    return load_be_u64(bytes.data());
}
inline double read_be_f64(ByteSpan bytes) {
    return load_be_f64(bytes.data());
}

// Each host-order word of `words` with its top bit inverted, in host order; a trailing partial
// word is ignored.
template <class W>
inline Bytes flip_sign_bit(ByteSpan words) {
    constexpr W top = W{1} << (sizeof(W) * 8 - 1);
    const std::size_t n = words.size() / sizeof(W);
    Bytes out(n * sizeof(W));
    for (std::size_t i = 0; i < n; ++i) {
        W w;
        std::memcpy(&w, words.data() + i * sizeof(W), sizeof(W));
        w ^= top;
        std::memcpy(out.data() + i * sizeof(W), &w, sizeof(W));
    }
    return out;
}
inline Bytes flip_sign_bit_16(ByteSpan words) {
    return flip_sign_bit<std::uint16_t>(words);
}
inline Bytes flip_sign_bit_32(ByteSpan words) {
    return flip_sign_bit<std::uint32_t>(words);
}
inline Bytes flip_sign_bit_64(ByteSpan words) {
    return flip_sign_bit<std::uint64_t>(words);
}

}  // namespace vexlo
