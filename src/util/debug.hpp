// The debug renderings that messages embed: quoted strings with backslash escapes, chars.
#pragma once

#include <string>
#include <string_view>

namespace vexlo {

// A UTF-8 text between double quotes: '"' and '\' escaped with a backslash, tab, CR, LF and
// NUL as \t \r \n \0, other non-printable or grapheme-extending code points as \u{hex}.
// This is also the "quoted form" that Python-level messages use for user-supplied names.
std::string debug_str(std::string_view text);

// A single character between single quotes with the same escapes ('\'' for a quote).
std::string debug_char(char32_t c);

}  // namespace vexlo
