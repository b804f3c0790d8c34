// Headers for the coordinate tests: short card lists and the sample header of each projection.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "../header/header_fixture.hpp"
#include "wcs/wcs.hpp"

namespace vexlo::testing {

// The projections with a sample header under tests/data/wcs.
inline constexpr const char* kSampleProjections[] = {
    "AIR", "AIT", "ARC", "AZP", "BON", "CAR", "CEA", "COD", "COE",
    "COO", "COP", "CSC", "CYP", "HPX", "MER", "MOL", "PAR", "PCO",
    "QSC", "SFL", "SIN", "STG", "SZP", "TAN", "TSC", "ZEA", "ZPN",
};

inline Header sample_header(const std::string& code) {
    std::ifstream in(std::string(VEXLO_TEST_DATA) + "/wcs/proj_" + code + ".hdr", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto parsed = Header::parse(as_bytes(text), 0, true);
    EXPECT_TRUE(parsed.has_value()) << code;
    return parsed ? std::move(parsed->first) : Header();
}

// The Wcs of a header that must have one.
inline Wcs wcs_of(const Header& header, char32_t alt = U' ') {
    auto w = Wcs::from_header(header, alt);
    EXPECT_TRUE(w.has_value()) << (w ? "" : w.error().msg);
    if (!w || !*w) {
        ADD_FAILURE() << "no WCS";
        return Wcs{};
    }
    return std::move(**w);
}

// A header of these card texts (each padded to 80 columns), for lists built at run time.
inline Header header_of_cards(const std::vector<std::string>& cards) {
    Bytes bytes;
    for (const std::string& c : cards)
        append_bytes(bytes, card(c));
    return Header(std::move(bytes));
}

inline std::string wcs_error(const Header& header, char32_t alt = U' ') {
    auto w = Wcs::from_header(header, alt);
    if (w) return "<no error>";
    EXPECT_EQ(w.error().kind, Error::Kind::Wcs) << w.error().message();
    return w.error().msg;
}

}  // namespace vexlo::testing
