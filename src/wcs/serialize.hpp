// Writing a coordinate description back as header cards: which cards, in which order, with
// which comments. The card formatter decides the text of every value.
#pragma once

#include <string>
#include <string_view>

namespace vexlo {

// The fixed comment of a CTYPE card: the projection's name for the common celestial codes,
// "Coordinate axis type" otherwise.
std::string ctype_comment(std::string_view ctype);

// The IRAF wtype of a correction-surface description: the code after the last '-' of the
// latitude CTYPE in lower case ("tnx", "zpx"), "tnx" when there is none.
std::string tnx_wtype(std::string_view lat_ctype);

}  // namespace vexlo
