// Loops that move host-order numbers from strided memory (an array's elements, any stride)
// straight into FITS big-endian cells, and the buffers they fill. They run over whole runs
// without allocating.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "util/bytes.hpp"

namespace vexlo {

// A zero-filled byte buffer of `size` bytes for encoded data. A large one asks the kernel
// for transparent huge pages before it is first touched: faulting in a fresh buffer page by
// page otherwise costs more than encoding into it. Throws std::bad_alloc when the buffer
// cannot be had, a size beyond the address space included.
Bytes encode_buffer_of(std::size_t size);

// A buffer for encoded data that is not cleared first, for an encoder that writes every byte:
// its first write is the encoding itself, which then also takes the page faults, on the
// threads that write each part. A large one asks for huge pages. Move-only; never changes
// once filled.
class EncodedBytes {
  public:
    EncodedBytes() = default;
    // Throws std::bad_alloc when the buffer cannot be had, as encode_buffer_of does.
    static EncodedBytes of_size(std::size_t size);

    std::uint8_t* data() { return bytes_.get(); }
    const std::uint8_t* data() const { return bytes_.get(); }
    ByteSpan view() const { return {bytes_.get(), size_}; }
    std::size_t size() const { return size_; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

template <class U>
inline U to_big_endian(U v) {
    if constexpr (std::endian::native == std::endian::little && sizeof(U) > 1) {
        return std::byteswap(v);
    } else {
        return v;
    }
}

// `n` host-order words back to back at `src` stored big-endian back to back at `out`, with
// `flip` XOR-ed into each; the two ranges do not overlap. Out of line, so that the loops are
// built for the byte shuffles of newer processors as well as for the baseline.
void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out, std::uint16_t flip);
void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out, std::uint32_t flip);
void encode_words(const std::uint8_t* src, std::size_t n, std::uint8_t* out, std::uint64_t flip);

// `n` elements of sizeof(U) bytes, `stride` bytes apart, stored big-endian back to back at
// `out` with `flip` XOR-ed into each (the offset of the unsigned conventions). The
// contiguous case has its own loop so that it vectorises.
template <class U>
void encode_run(const std::uint8_t* src, std::ptrdiff_t stride, std::size_t n, std::uint8_t* out,
                U flip) {
    if (stride == static_cast<std::ptrdiff_t>(sizeof(U))) {
        if constexpr (sizeof(U) == 1) {
            for (std::size_t i = 0; i < n; ++i)
                out[i] = static_cast<std::uint8_t>(src[i] ^ flip);
        } else {
            encode_words(src, n, out, flip);
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        U v;
        std::memcpy(&v, src + static_cast<std::ptrdiff_t>(i) * stride, sizeof(U));
        v = to_big_endian(static_cast<U>(v ^ flip));
        std::memcpy(out + i * sizeof(U), &v, sizeof(U));
    }
}

// One element per row: `n` elements `src_stride` bytes apart into cells `out_stride` bytes
// apart (a table column of repeat 1).
template <class U>
void encode_scatter(const std::uint8_t* src, std::ptrdiff_t src_stride, std::size_t n,
                    std::uint8_t* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < n; ++i) {
        U v;
        std::memcpy(&v, src + static_cast<std::ptrdiff_t>(i) * src_stride, sizeof(U));
        v = to_big_endian(v);
        std::memcpy(out + i * out_stride, &v, sizeof(U));
    }
}

// NumPy bools (one byte, 0 or 1) as FITS logicals 'T' and 'F'.
inline void encode_logical_run(const std::uint8_t* src, std::ptrdiff_t stride, std::size_t n,
                               std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = src[static_cast<std::ptrdiff_t>(i) * stride] != 0 ? 'T' : 'F';
}

// Numbers of type T converted to big-endian doubles.
template <class T>
void encode_as_f64_run(const std::uint8_t* src, std::ptrdiff_t stride, std::size_t n,
                       std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, src + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        const std::uint64_t bits =
            to_big_endian(std::bit_cast<std::uint64_t>(static_cast<double>(v)));
        std::memcpy(out + i * 8, &bits, 8);
    }
}

}  // namespace vexlo
