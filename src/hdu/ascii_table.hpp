// ASCII table HDUs (XTENSION = 'TABLE'): fields located by TBCOLn, formatted by FORTRAN-style
// TFORMn codes and read by the FORTRAN input rules, with TSCAL/TZERO and a TNULL text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "data/buffer.hpp"
#include "error.hpp"
#include "hdu/owned.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo {

struct AsciiFormat {
    // The order is part of the interface.
    enum class Kind : std::uint8_t { A, I, F, E, D };

    Kind kind = Kind::A;
    std::uint64_t width = 0;
    std::uint64_t decimals = 0;  // F, E and D only

    // Aw, Iw, Fw.d, Ew.d, Dw.d (letters in either case). Errors are Error::Value for "TFORM".
    static Result<AsciiFormat> parse(std::string_view tform);
};

struct AsciiColumn {
    std::uint64_t index = 0;  // the 1-based column number n
    std::string name;         // TTYPEn trimmed, "" when absent
    std::string unit;         // TUNITn trimmed, "" when absent
    std::uint64_t start = 1;  // TBCOLn: 1-based byte of the field's first character
    AsciiFormat format;
    double tscal = 1.0;
    double tzero = 0.0;
    std::optional<std::string> tnull;  // never set for A columns
    std::optional<std::string> tdisp;
};

// One decoded field; a null field is the absence of a value.
struct AsciiValue {
    // The order is part of the interface.
    enum class Kind : std::uint8_t { Str, Int, Float };

    std::variant<std::string, std::int64_t, double> value;

    Kind kind() const { return static_cast<Kind>(value.index()); }

    friend bool operator==(const AsciiValue& a, const AsciiValue& b) = default;
};

struct AsciiTableHdu {
    Header header;
    DataBuf data;  // exactly NAXIS1 * NAXIS2 bytes
    std::uint64_t row_size = 0;
    std::uint64_t n_rows = 0;
    std::vector<AsciiColumn> columns;

    // Builds the record from a header and an owned data section (released on failure).
    static Result<AsciiTableHdu> create(Header header, Bytes data);
    // Builds the record over borrowed bytes, which must outlive the record.
    static Result<AsciiTableHdu> create_borrowed(Header header, ByteSpan data);

    // The header and the data as an owned buffer (copied when the record only borrowed it).
    OwnedHdu into_parts() &&;

    // The bytes of the field of `column` in `row` (0-based), as stored.
    Result<std::string_view> field_text(std::uint64_t row, const AsciiColumn& column) const;
    // The field of `column` in `row` (0-based): text, integer or real, none for a null.
    Result<std::optional<AsciiValue>> read_cell(std::uint64_t row, const AsciiColumn& column) const;
};

}  // namespace vexlo
