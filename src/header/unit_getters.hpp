// The unit annotation that writers put in a card comment, as in "exposure [s]".
#pragma once

#include <optional>
#include <string_view>

namespace vexlo {

// The trimmed text between the first '[' and the next ']'; none when missing or empty.
std::optional<std::string_view> unit_annotation(std::string_view comment);

}  // namespace vexlo
