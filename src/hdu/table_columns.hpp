// Whole table columns: the form a column takes when read whole, the check that every row of a
// column decodes, and the decoding of rows straight into caller-provided buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "hdu/ascii_table.hpp"
#include "hdu/bintable.hpp"
#include "hdu/data_source.hpp"

namespace vexlo {

// One double per row (scaled integers, E widened, D); NaN for a null.
struct Float64Values {
    std::vector<double> values;
};

// One signed 64-bit integer per row. `nulls` is empty when no row is null; otherwise it holds
// 1 for a null row (whose value is 0) and 0 elsewhere.
struct IntValues {
    std::vector<std::int64_t> values;
    std::vector<std::uint8_t> nulls;
};

// A field of width 0 holds the same value in every row. Such a column keeps that value
// once, with its row count, so that a table never costs memory in proportion to a row count
// that no byte of the file backs.

// One string per row; with `uniform_rows` set, `values` is the one string of every row.
struct Strings {
    std::vector<std::string> values;
    std::uint64_t uniform_rows = 0;

    std::uint64_t size() const { return uniform_rows != 0 ? uniform_rows : values.size(); }
    const std::string& at(std::uint64_t row) const {
        return values.at(uniform_rows != 0 ? 0 : static_cast<std::size_t>(row));
    }
};

// One logical per row: 0 false, 1 true, 2 undefined.
struct Logicals {
    std::vector<std::uint8_t> values;
};

// Every row's decoded cell, and the column's TDIMn (header order); with `uniform_rows` set,
// `cells` is the one cell of every row.
struct PerRow {
    std::vector<BinValue> cells;
    std::optional<std::vector<std::uint64_t>> tdim;
    std::uint64_t uniform_rows = 0;

    std::uint64_t size() const { return uniform_rows != 0 ? uniform_rows : cells.size(); }
    const BinValue& cell(std::uint64_t row) const {
        return cells.at(uniform_rows != 0 ? 0 : static_cast<std::size_t>(row));
    }
};

// The alternatives' order is part of the interface: ColumnForm names them.
using DecodedColumn = std::variant<Float64Values, IntValues, Strings, Logicals, PerRow>;

enum class ColumnForm : std::uint8_t { Float64, Int, Strings, Logicals, PerRow };

// The form a binary table column reads as. Scalar L, B, I, J, K (signed or scaled), E and D
// columns are flat arrays; A columns are strings unless TDIMn splits their cells; a table
// without rows and every other column keep one value per row.
ColumnForm bin_column_form(const BinTableHdu& table, const BinColumn& column);

// A field of width 0 reads alike in every row; such a column is read once.
bool is_uniform_column(const BinTableHdu& table, const BinColumn& column);

// The error reading any row of the column would give, found by checking every row of the
// columns whose decoding can fail (L bytes, A text, P/Q descriptors and their arrays) without
// building values. The first failing row's error.
Result<void> check_bin_column(const BinTableHdu& table, const BinColumn& column);
// check_bin_column over every column in order: the first failing column's error.
Result<void> check_bin_columns(const BinTableHdu& table);
// Whether some column's decoding can fail, so that check_bin_columns reads the table's data.
bool bin_columns_can_fail(const BinTableHdu& table);

// Rows [first, first + out.size()) of a column of form Float64 decoded into `out`.
Result<void> decode_float64_rows(const BinTableHdu& table, const BinColumn& column,
                                 std::uint64_t first, std::span<double> out);
// Rows of a column of form Int decoded into `out`; a null row reads 0. When `nulls` is not
// empty (same length as `out`) it receives 1 for a null row and 0 elsewhere. Returns the
// number of null rows.
Result<std::uint64_t> decode_int_rows(const BinTableHdu& table, const BinColumn& column,
                                      std::uint64_t first, std::span<std::int64_t> out,
                                      std::span<std::uint8_t> nulls);
// Rows of a column of form Logicals: 0 false, 1 true, 2 undefined.
Result<void> decode_logical_rows(const BinTableHdu& table, const BinColumn& column,
                                 std::uint64_t first, std::span<std::uint8_t> out);
// One Float64 or Int column of a block-wise pass and the buffer of every row it fills.
struct ColumnTarget {
    const BinColumn* column = nullptr;
    std::span<double> floats;       // form Float64
    std::span<std::int64_t> ints;   // form Int: a null row reads 0
    std::uint64_t n_nulls = 0;      // set by the pass: null rows of an Int column
    std::span<std::uint8_t> nulls;  // when not empty: 1 for a null row, 0 elsewhere
};
// Several Float64 and Int columns decoded together, block of rows after block of rows, so
// that each block's bytes are read from memory once for all of them.
Result<void> decode_columns_blockwise(const BinTableHdu& table, std::span<ColumnTarget> targets);
// The same over the rows of `source`, the data section of a table laid out as `layout`
// (whose own bytes are not used, so it may be unread): held rows are decoded where they lie,
// a file's are read block by block into a buffer, so that the data section is never held
// whole.
Result<void> decode_columns_blockwise(const BinTableHdu& layout, const DataSource& source,
                                      std::span<ColumnTarget> targets);

// The text of a row of a column of form Strings, a view into the table's bytes: trailing
// NULs then trailing white space removed. Valid UTF-8 once the column has been checked.
Result<std::string_view> bin_cell_text(const BinTableHdu& table, const BinColumn& column,
                                       std::uint64_t row);

// Rows [first, first + n) of a column in its form (never uniform).
Result<DecodedColumn> decode_bin_rows(const BinTableHdu& table, const BinColumn& column,
                                      std::uint64_t first, std::uint64_t n);
// The same rows decoded from `rows`, their bytes alone (n whole rows as stored), with the
// values decode_bin_rows gives; for a table whose `data` may be unread. A heap array cannot
// be reached from there: a P/Q column reads as its descriptor escaping an empty heap.
Result<DecodedColumn> decode_bin_rows_from(const BinTableHdu& table, const BinColumn& column,
                                           ByteSpan rows, std::uint64_t n);
// Every row of a column in its form; a field of width 0 is kept once.
Result<DecodedColumn> decode_bin_column(const BinTableHdu& table, const BinColumn& column);

// Whether an ASCII column is text read when asked for: an A field of some width in a table
// with rows (a field of width 0 reads alike in every row and is kept once).
bool is_ascii_text_column(const AsciiTableHdu& table, const AsciiColumn& column);
// The error reading any row of an A column would give (a field past the row's end, text that
// is not UTF-8), found without building strings.
Result<void> check_ascii_text_column(const AsciiTableHdu& table, const AsciiColumn& column);

// Every row of an ASCII table column: numbers as doubles (NaN for a null), A fields as text.
Result<DecodedColumn> decode_ascii_column(const AsciiTableHdu& table, const AsciiColumn& column);
// What a lookup of an ASCII table keeps: every numeric column decoded, every text column
// checked and left empty (its text is read from the record when asked for). The first failing
// column, in column order, reports; large tables decode their columns on several threads.
Result<std::vector<DecodedColumn>> decode_ascii_columns(const AsciiTableHdu& table);

}  // namespace vexlo
