// The decoded state behind vexlo.BinTable and vexlo.AsciiTable, shared by the table classes,
// the column conversions to Python objects and the table repr. Internal to the table files.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "hdu/bintable.hpp"
#include "python/header.hpp"
#include "python/tables.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

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

// The alternatives' order is part of the interface.
using DecodedColumn = std::variant<Float64Values, IntValues, Strings, Logicals, PerRow>;

struct TableState {
    TableKind kind = TableKind::Binary;
    std::vector<std::string> column_names;
    std::vector<DecodedColumn> columns;  // same length as column_names
    Bytes raw_data;
    PyHeader header;
    std::uint64_t n_rows = 0;
};

// The first column whose name equals `name` exactly, or -1.
std::ptrdiff_t find_column(const TableState& table, std::string_view name);

// --- Conversions to Python objects (table_columns.cpp) ---------------------------------------

// A whole column: an ndarray (frozen), a masked int64 array (frozen) or a list.
nb::object column_object(const TableState& table, std::size_t column);
// The value of one column in one checked row.
nb::object row_value(const TableState& table, std::size_t column, std::uint64_t row);
// Every column's row value under its name, later duplicate names overwriting earlier values.
nb::object row_dict(const TableState& table, std::uint64_t row);
// Every column in one frozen numpy record array.
nb::object record_array(const TableState& table);

// A new str from UTF-8 text (invalid bytes replaced).
nb::str py_text(std::string_view text);

// --- Repr (table_repr.cpp) --------------------------------------------------------------------

std::string table_repr(const TableState& table);

}  // namespace vexlo::py
