// The decoded state behind vexlo.BinTable and vexlo.AsciiTable, shared by the table classes,
// the column conversions to Python objects and the table repr. Internal to the table files.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/buffer.hpp"
#include "hdu/bintable.hpp"
#include "hdu/table_columns.hpp"
#include "hdu/table_reader.hpp"
#include "python/header.hpp"
#include "python/method.hpp"
#include "python/tables.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// A binary table read from a file is read through its table reader (hdu/table_reader), which
// holds its record, checked when the reader was built, or, for a table none of whose cells can
// fail to decode, its layout alone, and decides when the data section is read and which
// columns are decoded ahead. An ASCII table decodes its numbers up front, since any field may
// fail to parse, and keeps its record for the text, read when asked for.
struct TableState {
    TableKind kind = TableKind::Binary;
    std::vector<std::string> column_names;
    std::vector<DecodedColumn> columns;      // ASCII tables: same length as column_names; empty
                                             // Strings for the text columns `ascii` reads
    std::optional<TableReader> bin;          // binary tables read from a file
    std::optional<AsciiTableHdu> ascii;      // ASCII tables read from a file: their text columns
    std::shared_ptr<const FitsFile> source;  // holds an ASCII table's borrowed bytes, if any
    DataBuf raw_data;                        // the data section of every other table
    PyHeader header;
    std::uint64_t n_rows = 0;
    // The scalar numeric columns the reader decoded ahead of their request (see column_object),
    // each handed out once. Touched only with the interpreter lock held.
    mutable std::vector<nb::object> ahead;
};

// A call of a binary table's reader, made without the interpreter lock while the table's rows
// are unread (it may read the file); rows already held are decoded with the lock kept.
template <class F>
decltype(auto) reader_call(const TableState& table, F&& call) {
    if (table.bin->rows_unread()) return without_gil(std::forward<F>(call));
    return std::forward<F>(call)();
}

// The record of a binary table with its data, read now if the table was built unread (a
// failing read raises vexlo.FitsError). Called with the interpreter lock held.
const BinTableHdu& bin_record(const TableState& table);
// The table's data section (rows, then the heap), read now if the table was built unread.
ByteSpan table_data(const TableState& table);

// Rows [first, first + n) of a column in its form, decoded when the table keeps its record.
DecodedColumn column_rows(const TableState& table, std::size_t column, std::uint64_t first,
                          std::uint64_t n);

// The first column whose name equals `name` exactly, or -1.
std::ptrdiff_t find_column(const TableState& table, std::string_view name);

// --- Conversions to Python objects (table_columns.cpp) ---------------------------------------

// A whole column: an ndarray (frozen), a masked int64 array (frozen) or a list.
nb::object column_object(const TableState& table, std::size_t column);
// Several whole columns, each as column_object gives it; the flat numeric columns of a binary
// table are decoded together in one pass over the rows.
std::vector<nb::object> column_objects(const TableState& table,
                                       const std::vector<std::size_t>& columns);
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
