#include "data/pixel.hpp"

#include <algorithm>
#include <string>

#include "data/dispatch.hpp"
#include "header/header.hpp"

namespace vexlo {

namespace {

// A header checks BITPIX below the layer of the pixel types, so it keeps its own list of the
// valid values; it must be the rows' values in the same order.
constexpr bool header_bitpix_values_match() {
    for (std::size_t i = 0; i < kPixelFacts.size(); ++i) {
        if (kBitpixValues[i] != kPixelFacts[i].bitpix_value) return false;
    }
    return kBitpixValues.size() == kPixelFacts.size();
}
static_assert(header_bitpix_values_match());

template <class T, class Load>
std::vector<T> decode_all(ByteSpan bytes, Load load) {
    const std::size_t n = bytes.size() / sizeof(T);
    std::vector<T> out(n);
    const std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = load(p + i * sizeof(T));
    return out;
}

template <class W>
void swap_all(std::span<std::uint8_t> bytes) {
    const std::size_t n = bytes.size() / sizeof(W);
    std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < n; ++i) {
        W w;
        std::memcpy(&w, p + i * sizeof(W), sizeof(W));
        w = std::byteswap(w);
        std::memcpy(p + i * sizeof(W), &w, sizeof(W));
    }
}

// The whole-array swaps are built twice on x86-64 (see VEXLO_SWAP_CLONES).
VEXLO_SWAP_CLONES void swap_words16(std::span<std::uint8_t> bytes) {
    swap_all<std::uint16_t>(bytes);
}
VEXLO_SWAP_CLONES void swap_words32(std::span<std::uint8_t> bytes) {
    swap_all<std::uint32_t>(bytes);
}
VEXLO_SWAP_CLONES void swap_words64(std::span<std::uint8_t> bytes) {
    swap_all<std::uint64_t>(bytes);
}

}  // namespace

Result<Bitpix> from_bitpix(std::int64_t bitpix) {
    for (std::size_t i = 0; i < kPixelFacts.size(); ++i) {
        if (kPixelFacts[i].bitpix_value == bitpix) return static_cast<Bitpix>(i);
    }
    const std::string v = std::to_string(bitpix);
    if (bitpix == -16) {
        return fail(Error::value(
            "BITPIX", "unsupported BITPIX value " + v +
                          ": half-precision floats (BITPIX=-16) are not part of the FITS "
                          "standard and are not supported by vexlo"));
    }
    return fail(Error::value(
        "BITPIX", "unsupported BITPIX value " + v +
                      ": expected one of 8, 16, 32, 64 (integer) or -32, -64 (IEEE float)"));
}

Error unsupported_width(std::uint64_t bytes) {
    return Error::data("element width of " + std::to_string(bytes) +
                       " bytes is none of 1, 2, 4, 8");
}

Error unknown_pixel_type(Bitpix b) {
    return Error::value("BITPIX", "pixel type code " + std::to_string(static_cast<unsigned>(b)) +
                                      " names none of BITPIX 8, 16, 32, 64, -32, -64");
}

std::optional<DtypePixel> pixel_of_dtype(char kind, std::uint64_t itemsize) {
    if (kind == 'b')
        return itemsize == 1 ? std::optional(DtypePixel{Bitpix::U8, false}) : std::nullopt;
    // A dtype name begins with its kind letter: "uint8", "int16", "float32".
    for (std::size_t i = 0; i < kPixelFacts.size(); ++i) {
        const PixelFacts& f = kPixelFacts[i];
        if (f.bytes != itemsize) continue;
        if (kind == f.dtype.front()) return DtypePixel{static_cast<Bitpix>(i), false};
        if (f.offset && kind == f.offset_dtype.front())
            return DtypePixel{static_cast<Bitpix>(i), true};
    }
    return std::nullopt;
}

std::vector<std::int16_t> decode_be_i16(ByteSpan bytes) {
    return decode_all<std::int16_t>(bytes, load_be_i16);
}
std::vector<std::int32_t> decode_be_i32(ByteSpan bytes) {
    return decode_all<std::int32_t>(bytes, load_be_i32);
}
std::vector<std::int64_t> decode_be_i64(ByteSpan bytes) {
    return decode_all<std::int64_t>(bytes, load_be_i64);
}

Result<void> decode_offset_be_into(Bitpix b, ByteSpan in, std::span<std::uint8_t> out) {
    return visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (PixelTraits<T>::kOffset.has_value()) {
            using Word = word_of<sizeof(T)>;
            constexpr auto kFlip = static_cast<Word>(flip_mask_of<T>());
            const std::size_t n = std::min(in.size(), out.size()) / sizeof(Word);
            for (std::size_t i = 0; i < n; ++i) {
                const auto w =
                    static_cast<Word>(load_be<Word>(in.data() + i * sizeof(Word)) ^ kFlip);
                std::memcpy(out.data() + i * sizeof(Word), &w, sizeof(Word));
            }
        }
        // Floating-point types have no offset form: nothing is written.
    });
}

Result<void> offset_to_stored_in_place(Bitpix b, std::span<std::uint8_t> native) {
    return visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (PixelTraits<T>::kOffset.has_value()) {
            using Word = word_of<sizeof(T)>;
            constexpr auto kFlip = static_cast<Word>(flip_mask_of<T>());
            for (std::size_t i = 0; i + sizeof(Word) <= native.size(); i += sizeof(Word)) {
                Word w;
                std::memcpy(&w, native.data() + i, sizeof(Word));
                w ^= kFlip;
                std::memcpy(native.data() + i, &w, sizeof(Word));
            }
        }
    });
}

Result<void> swap_be_in_place(Bitpix b, std::span<std::uint8_t> bytes) {
    if constexpr (std::endian::native == std::endian::big) return {};
    return visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (sizeof(T) == 2) swap_words16(bytes);
        if constexpr (sizeof(T) == 4) swap_words32(bytes);
        if constexpr (sizeof(T) == 8) swap_words64(bytes);
    });
}

}  // namespace vexlo
