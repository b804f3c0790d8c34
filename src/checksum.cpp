#include "checksum.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "data/pixel.hpp"

namespace vexlo {

namespace {

constexpr std::size_t kCard = 80;
constexpr std::size_t kBlock = 2880;

bool starts_with(const std::uint8_t* card, std::string_view prefix) {
    return std::memcmp(card, prefix.data(), prefix.size()) == 0;
}

// A DATASUM or CHECKSUM card in the layout the stamp rewrites: the keyword in columns 1-8
// and '=' in column 9.
bool is_value_card(const std::uint8_t* card, std::string_view keyword8) {
    return starts_with(card, keyword8) && card[8] == '=';
}

}  // namespace

std::uint32_t ones_complement_sum(ByteSpan bytes) {
    // 64-bit accumulators cannot overflow for any buffer that fits in memory, so the carries
    // are folded once at the end.
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    const std::size_t words = bytes.size() / 4;
    const std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint32_t w = load_be_u32(p + 4 * i);
        hi += w >> 16;
        lo += w & 0xFFFFu;
    }
    while (hi > 0xFFFF || lo > 0xFFFF) {
        const std::uint64_t new_hi = (hi & 0xFFFF) + (lo >> 16);
        const std::uint64_t new_lo = (lo & 0xFFFF) + (hi >> 16);
        hi = new_hi;
        lo = new_lo;
    }
    return static_cast<std::uint32_t>((hi << 16) | lo);
}

std::array<char, 16> encode_checksum(std::uint32_t value) {
    // Codes of the punctuation between the digits and the upper-case letters and between
    // the upper-case and the lower-case letters, which the encoding steers around.
    static constexpr std::array<int, 13> kExcluded = {58, 59, 60, 61, 62, 63, 64,
                                                      91, 92, 93, 94, 95, 96};
    std::array<char, 16> a{};
    for (int i = 0; i < 4; ++i) {
        const int byte = static_cast<int>((value >> (24 - 8 * i)) & 0xFF);
        const int q = byte / 4 + 48;
        const int r = byte % 4;
        std::array<int, 4> c = {q + r, q, q, q};
        bool changed = true;
        while (changed) {
            changed = false;
            for (const int x : kExcluded) {
                for (int k = 0; k < 4; k += 2) {
                    if (c[k] == x || c[k + 1] == x) {
                        ++c[k];
                        --c[k + 1];
                        changed = true;
                    }
                }
            }
        }
        for (int j = 0; j < 4; ++j)
            a[4 * j + i] = static_cast<char>(c[j]);
    }
    // The intermediate string goes out rotated right by one character.
    std::array<char, 16> out{};
    for (int k = 0; k < 16; ++k)
        out[k] = a[(k + 15) % 16];
    return out;
}

std::expected<void, std::string_view> stamp_checksums(std::span<std::uint8_t> header,
                                                      ByteSpan data) {
    return stamp_checksums_with_datasum(header, ones_complement_sum(data));
}

std::expected<void, std::string_view> stamp_checksums_with_datasum(std::span<std::uint8_t> header,
                                                                   std::uint32_t d) {
    if (header.size() % kBlock != 0) {
        return std::unexpected(std::string_view("header bytes are not a multiple of 2880"));
    }
    std::uint8_t* datasum = nullptr;
    std::uint8_t* checksum = nullptr;
    for (std::size_t at = 0; at + kCard <= header.size(); at += kCard) {
        std::uint8_t* card = header.data() + at;
        if (starts_with(card, "END     ")) break;
        // The first card of each keyword is the one Header::get and the verification read;
        // stamping a later duplicate would leave the visible card stale.
        if (datasum == nullptr && is_value_card(card, "DATASUM ")) datasum = card;
        if (checksum == nullptr && is_value_card(card, "CHECKSUM")) checksum = card;
    }
    if (checksum == nullptr) {
        return std::unexpected(std::string_view("CHECKSUM placeholder not found in header"));
    }
    if (datasum == nullptr) {
        return std::unexpected(std::string_view("DATASUM placeholder not found in header"));
    }

    char digits[10];
    const auto res = std::to_chars(digits, digits + sizeof digits, d);
    const std::size_t n = static_cast<std::size_t>(res.ptr - digits);
    std::fill(datasum + 10, datasum + kCard, std::uint8_t{' '});
    datasum[10] = '\'';
    std::memcpy(datasum + 11, digits, n);
    datasum[11 + std::max<std::size_t>(n, 8)] = '\'';

    static constexpr std::string_view kPlaceholder = "0000000000000000";
    std::fill(checksum + 10, checksum + kCard, std::uint8_t{' '});
    checksum[10] = '\'';
    std::memcpy(checksum + 11, kPlaceholder.data(), kPlaceholder.size());
    checksum[27] = '\'';

    const std::uint32_t h = ones_complement_sum(header);
    const std::array<char, 16> text = encode_checksum(~ones_complement_add(h, d));
    std::memcpy(checksum + 11, text.data(), text.size());
    return {};
}

}  // namespace vexlo
