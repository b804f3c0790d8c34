// A borrowed logical card (one image plus its attached CONTINUE images).
#pragma once

#include <optional>
#include <string>

#include "header/value.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct CardEntry {
    std::string keyword;
    Value value;
    std::optional<std::string> comment;
};

// Views always read in lenient mode, whatever mode the header was parsed in.
struct CardView {
    ByteSpan bytes;  // a non-zero multiple of 80 bytes

    std::string keyword() const;
    bool is_commentary() const;
    std::optional<std::string> commentary_text() const;
    std::optional<ValueAndComment> value_and_comment() const;
    std::optional<Value> value() const;
    std::optional<std::string> comment() const;
    std::optional<CardEntry> entry() const;
};

}  // namespace vexlo
