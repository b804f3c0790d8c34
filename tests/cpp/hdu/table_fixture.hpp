// Header cards and error checks shared by the table record tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo::table_testing {

using Cards = std::vector<std::pair<std::string, std::string>>;

// One 80-byte card image: "KEYWORD = value".
inline std::string card(std::string_view key, std::string_view value) {
    std::string c(key);
    c.resize(8, ' ');
    c += "= ";
    c += value;
    c.resize(80, ' ');
    return c;
}

inline Header make_header(const Cards& cards) {
    Bytes bytes;
    for (const auto& [k, v] : cards)
        append_bytes(bytes, card(k, v));
    return Header(std::move(bytes));
}

// The first card of `key` takes `value`; appended when absent.
inline Cards replace(Cards cards, const std::string& key, const std::string& value) {
    for (auto& kv : cards) {
        if (kv.first == key) {
            kv.second = value;
            return cards;
        }
    }
    cards.emplace_back(key, value);
    return cards;
}

inline Cards erase(Cards cards, const std::string& key) {
    std::erase_if(cards, [&](const auto& kv) { return kv.first == key; });
    return cards;
}

template <class T>
void expect_error(const Result<T>& r, Error::Kind kind, std::string_view keyword,
                  std::string_view msg, const std::string& ctx = "") {
    ASSERT_FALSE(r.has_value()) << ctx;
    EXPECT_EQ(r.error().kind, kind) << ctx << " " << r.error().message();
    EXPECT_EQ(r.error().keyword, keyword) << ctx;
    EXPECT_EQ(r.error().msg, msg) << ctx;
}

}  // namespace vexlo::table_testing
