// Writing a coordinate description back as header cards: which cards, in which order, with
// which comments. The card formatter decides the text of every value.
#pragma once

#include <string>
#include <string_view>

namespace vexlo {

// The fixed comment of a CTYPE card: the projection's name for the common celestial codes,
// "Coordinate axis type" otherwise.
std::string ctype_comment(std::string_view ctype);

}  // namespace vexlo
