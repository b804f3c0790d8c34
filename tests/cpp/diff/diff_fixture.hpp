// Small images and tables for the comparison tests, as records and as files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../be_bytes.hpp"
#include "../io/fits_fixture.hpp"
#include "data/pixel.hpp"
#include "diff/data.hpp"
#include "diff/engine.hpp"
#include "hdu/hdu.hpp"

namespace vexlo::diff_test {

using namespace fits_test;

inline Bytes be_f32(const std::vector<float>& values) {
    Bytes out;
    for (const float v : values)
        push_be_f32(v, out);
    return out;
}

inline Bytes be_i16(const std::vector<std::int16_t>& values) {
    Bytes out;
    for (const auto v : values)
        push_be_u16(static_cast<std::uint16_t>(v), out);
    return out;
}

inline Bytes be_i32(const std::vector<std::int32_t>& values) {
    Bytes out;
    for (const auto v : values)
        push_be_u32(static_cast<std::uint32_t>(v), out);
    return out;
}

// An image record of `bitpix` with `extra` cards after the structural ones.
inline ImageHdu image(int bitpix, std::vector<std::uint64_t> axes, Bytes data,
                      const std::vector<std::string>& extra = {}) {
    std::vector<std::string> cards = primary_cards(bitpix, axes);
    cards.insert(cards.end(), extra.begin(), extra.end());
    Result<ImageHdu> img = ImageHdu::create(header_of(cards), std::move(data));
    EXPECT_TRUE(img.has_value()) << img.error().message();
    return std::move(*img);
}

inline std::vector<std::string> bintable_cards(std::uint64_t naxis1, std::uint64_t naxis2,
                                               std::uint64_t pcount,
                                               const std::vector<std::string>& columns) {
    std::vector<std::string> c = {kv("XTENSION", "'BINTABLE'"),
                                  kv("BITPIX", 8),
                                  kv("NAXIS", 2),
                                  kv("NAXIS1", static_cast<long long>(naxis1)),
                                  kv("NAXIS2", static_cast<long long>(naxis2)),
                                  kv("PCOUNT", static_cast<long long>(pcount)),
                                  kv("GCOUNT", 1)};
    c.insert(c.end(), columns.begin(), columns.end());
    return c;
}

inline BinTableHdu bintable(const std::vector<std::string>& cards, Bytes data) {
    Result<BinTableHdu> t = BinTableHdu::create(header_of(cards), std::move(data));
    EXPECT_TRUE(t.has_value()) << t.error().message();
    return std::move(*t);
}

inline AsciiTableHdu ascii_table(const std::vector<std::string>& cards, std::string rows) {
    Bytes data(rows.begin(), rows.end());
    Result<AsciiTableHdu> t = AsciiTableHdu::create(header_of(cards), std::move(data));
    EXPECT_TRUE(t.has_value()) << t.error().message();
    return std::move(*t);
}

// The data differences of two records compared with `options`.
struct Found {
    std::vector<DataDiff> diffs;
    std::uint64_t total = 0;
};

template <class Compare, class A, class B>
Found compare_with(Compare compare, const A& a, const B& b, const DiffOptions& options = {}) {
    DataDiffList list(options);
    compare(a, b, list);
    return {list.diffs(), list.total()};
}

inline Found compare_images(const ImageHdu& a, const ImageHdu& b, const DiffOptions& options = {}) {
    return compare_with(diff_image_data, a, b, options);
}
inline Found compare_bintables(const BinTableHdu& a, const BinTableHdu& b,
                               const DiffOptions& options = {}) {
    return compare_with(diff_bintable_data, a, b, options);
}
inline Found compare_ascii(const AsciiTableHdu& a, const AsciiTableHdu& b,
                           const DiffOptions& options = {}) {
    return compare_with(diff_ascii_table_data, a, b, options);
}

inline void expect_diff(const DataDiff& d, std::optional<std::string> column, std::uint64_t index,
                        const std::string& a, const std::string& b) {
    EXPECT_EQ(d.column, column);
    EXPECT_EQ(d.index, index);
    EXPECT_EQ(d.a, a);
    EXPECT_EQ(d.b, b);
}

}  // namespace vexlo::diff_test
