// Header validation: findings about departures from the FITS rules that readers tolerate
// but writers should not produce, with optional fixes applied to a copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "header/header.hpp"

namespace vexlo {

enum class Severity : std::uint8_t { Warning = 0, Error = 1 };

struct HeaderFix {
    enum class Kind : std::uint8_t { Rename, Delete, SetString };
    Kind kind = Kind::Delete;
    std::string keyword;  // Rename: the old name; Delete, SetString: the keyword
    std::string value;    // Rename: the new name; SetString: the string value

    // Applies the edit; an edit the header refuses is skipped.
    void apply(Header& header) const;
};

struct ValidationIssue {
    Severity severity = Severity::Warning;
    std::string keyword;
    std::string message;
    std::optional<HeaderFix> fix;
};

struct ValidationReport {
    std::vector<ValidationIssue> issues;
    Header header;  // a copy of the header examined, with the fixes applied when asked
};

}  // namespace vexlo
