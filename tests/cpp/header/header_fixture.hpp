// Builds card images and headers from short card texts for the header tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "header/header.hpp"

namespace vexlo::testing {

// One 80-byte image: the text padded with blanks (texts longer than 80 are cut).
inline std::string card(std::string_view text) {
    std::string image(text.substr(0, 80));
    image.resize(80, ' ');
    return image;
}

// "KEY     = rest": the keyword padded to eight columns and the value indicator.
inline std::string kv(std::string_view keyword, std::string_view rest) {
    std::string text(keyword);
    text.resize(8, ' ');
    return text + "= " + std::string(rest);
}

inline Bytes card_bytes(std::initializer_list<std::string> texts) {
    Bytes out;
    for (const std::string& t : texts)
        append_bytes(out, card(t));
    return out;
}

// A header holding exactly these images (no END), with no layout.
inline Header header_of(std::initializer_list<std::string> texts) {
    return Header(card_bytes(texts));
}

// The same from a list built at run time.
inline Header header_of(const std::vector<std::string>& texts) {
    Bytes out;
    for (const std::string& t : texts)
        append_bytes(out, card(t));
    return Header(std::move(out));
}

inline std::string text_of(ByteSpan bytes) {
    return std::string(as_chars(bytes));
}

}  // namespace vexlo::testing
