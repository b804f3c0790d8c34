#include "data/pixel.hpp"

#include <algorithm>
#include <string>

#include "data/dispatch.hpp"
#include "header/header.hpp"

namespace vexlo {

namespace {

constexpr std::array<std::string_view, 6> kTypeNames = {"u8", "i16", "i32", "i64", "f32", "f64"};

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
Bytes flip_all(ByteSpan words) {
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

// The whole-array swaps, built twice on x86-64 (a baseline build and an AVX2 one chosen at
// load time), since the baseline instruction set has no byte shuffle for the swap.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define VEXLO_SWAP_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VEXLO_SWAP_CLONES
#endif

VEXLO_SWAP_CLONES void swap_words16(std::span<std::uint8_t> bytes) {
    swap_all<std::uint16_t>(bytes);
}
VEXLO_SWAP_CLONES void swap_words32(std::span<std::uint8_t> bytes) {
    swap_all<std::uint32_t>(bytes);
}
VEXLO_SWAP_CLONES void swap_words64(std::span<std::uint8_t> bytes) {
    swap_all<std::uint64_t>(bytes);
}

template <class W>
void push_word(W v, Bytes& out) {
    const std::size_t at = out.size();
    out.resize(at + sizeof(W));
    store_be(out.data() + at, v);
}

}  // namespace

Result<Bitpix> from_bitpix(std::int64_t bitpix) {
    for (std::size_t i = 0; i < kBitpixValues.size(); ++i) {
        if (kBitpixValues[i] == bitpix) return static_cast<Bitpix>(i);
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

std::int64_t bitpix_value(Bitpix b) {
    return kBitpixValues[static_cast<std::uint8_t>(b)];
}

std::string_view type_name(Bitpix b) {
    return kTypeNames[static_cast<std::uint8_t>(b)];
}

void push_be_u16(std::uint16_t v, Bytes& out) {
    push_word(v, out);
}
void push_be_u32(std::uint32_t v, Bytes& out) {
    push_word(v, out);
}
void push_be_u64(std::uint64_t v, Bytes& out) {
    push_word(v, out);
}
void push_be_f32(float v, Bytes& out) {
    push_word(std::bit_cast<std::uint32_t>(v), out);
}
void push_be_f64(double v, Bytes& out) {
    push_word(std::bit_cast<std::uint64_t>(v), out);
}

std::uint64_t read_be_u64(ByteSpan bytes) {
    return load_be_u64(bytes.data());
}
double read_be_f64(ByteSpan bytes) {
    return load_be_f64(bytes.data());
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

Bytes flip_sign_bit_16(ByteSpan words) {
    return flip_all<std::uint16_t>(words);
}
Bytes flip_sign_bit_32(ByteSpan words) {
    return flip_all<std::uint32_t>(words);
}
Bytes flip_sign_bit_64(ByteSpan words) {
    return flip_all<std::uint64_t>(words);
}

std::optional<double> standard_offset(Bitpix b) {
    return visit_bitpix(
        b, [](auto tag) { return PixelTraits<typename decltype(tag)::type>::kOffset; });
}

namespace {

template <class Word>
constexpr Word kTopBit = Word{1} << (8 * sizeof(Word) - 1);

}  // namespace

void decode_offset_be_into(Bitpix b, ByteSpan in, std::span<std::uint8_t> out) {
    visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (PixelTraits<T>::kOffset.has_value()) {
            using Word = word_of<sizeof(T)>;
            const std::size_t n = std::min(in.size(), out.size()) / sizeof(Word);
            for (std::size_t i = 0; i < n; ++i) {
                const auto w =
                    static_cast<Word>(load_be<Word>(in.data() + i * sizeof(Word)) ^ kTopBit<Word>);
                std::memcpy(out.data() + i * sizeof(Word), &w, sizeof(Word));
            }
        }
        // Floating-point types have no offset form: nothing is written.
    });
}

void offset_to_stored_in_place(Bitpix b, std::span<std::uint8_t> native) {
    visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (PixelTraits<T>::kOffset.has_value()) {
            using Word = word_of<sizeof(T)>;
            for (std::size_t i = 0; i + sizeof(Word) <= native.size(); i += sizeof(Word)) {
                Word w;
                std::memcpy(&w, native.data() + i, sizeof(Word));
                w ^= kTopBit<Word>;
                std::memcpy(native.data() + i, &w, sizeof(Word));
            }
        }
    });
}

void swap_be_in_place(Bitpix b, std::span<std::uint8_t> bytes) {
    if constexpr (std::endian::native == std::endian::big) return;
    visit_bitpix(b, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (sizeof(T) == 2) swap_words16(bytes);
        if constexpr (sizeof(T) == 4) swap_words32(bytes);
        if constexpr (sizeof(T) == 8) swap_words64(bytes);
    });
}

}  // namespace vexlo
