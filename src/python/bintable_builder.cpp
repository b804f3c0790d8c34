// bintable(): a dict of columns to a finished BINTABLE HDU. Each column's FITS type is
// decided from its Python value; the core then encodes NumPy columns straight from the
// array's memory, other columns from the values converted while deciding.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "hdu/bintable.hpp"
#include "hdu/bintable_builder.hpp"
#include "hdu/builders.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/module.hpp"

namespace vexlo::py {

namespace {

const char* const kUnsupported =
    "bintable: unsupported column type (use bool/uint8/int16/int32/int64/float32/float64 numpy "
    "arrays or sequences of numbers, list[str], list[complex], or list[list[float]] for VLA)";

// A column that none of the rules can encode; reported as ValueError
// "bintable column {name}: {type}: {message}".
struct ColumnFailure {
    const char* type;
    std::string message;
};

[[noreturn]] void fail_column(const char* type, std::string message) {
    throw ColumnFailure{type, std::move(message)};
}

// ---- cells of the column kinds ----

struct NumericCells {
    nb::object array;
    std::unique_ptr<ArrayBuffer> buffer;
    std::size_t width = 0;  // bytes per element
    bool logical = false;
};

struct TextCells {
    std::vector<std::string> strings;  // per_row strings for each row, row after row
    std::size_t per_row = 1;
    std::size_t width = 1;  // the slot of each string
};

struct ComplexCells {
    std::vector<double> parts;  // real, imaginary, per row
};

// One variable-length row: doubles converted item by item, or a one-dimensional numeric
// array whose elements are converted while the heap is written.
struct VlaRow {
    std::vector<double> values;
    nb::object array;
    std::unique_ptr<ArrayBuffer> buffer;
    VlaElement element = VlaElement::F64;
};

struct VlaCells {
    std::vector<VlaRow> rows;
    std::vector<BinVlaRow> views;  // the rows as the core reads them
};

struct Column {
    std::variant<NumericCells, TextCells, ComplexCells, VlaCells> cells;
    std::uint64_t n_rows = 0;
    BinKind kind = BinKind::F64;
    std::uint64_t repeat = 1;
    std::optional<std::string> tdim;
};

// ---- rule 1: NumPy arrays of the seven column dtypes ----

// The column kind whose host type a dtype is: a plain-number kind of the column-kind list
// (B, I, J, K, E, D), or L for bool.
std::optional<BinKind> numeric_kind(const DtypeInfo& d) {
    if (!d.native()) return std::nullopt;
    if (d.is('b', 1)) return BinKind::Logical;
    for (std::size_t k = 0; k < kBinKinds.size(); ++k) {
        const auto kind = static_cast<BinKind>(k);
        if (!is_number_kind(kind)) continue;
        const Result<bool> same = visit_bin_kind(kind, [&](auto tag) {
            using T = typename decltype(tag)::type;
            const char letter = std::is_floating_point_v<T> ? 'f' : std::is_signed_v<T> ? 'i' : 'u';
            return d.is(letter, sizeof(T));
        });
        if (same && *same) return kind;
    }
    return std::nullopt;
}

std::optional<Column> numeric_column(nb::handle array) {
    const DtypeInfo d = dtype_info(array);
    const std::optional<BinKind> kind = numeric_kind(d);
    if (!kind) return std::nullopt;
    auto buffer = std::make_unique<ArrayBuffer>(array);
    if (buffer->ndim() != 1 && buffer->ndim() != 2) {
        fail_column("ValueError", "column array must be 1-D or 2-D");
    }
    Column c;
    c.kind = *kind;
    c.n_rows = buffer->shape(0);
    c.repeat = buffer->ndim() == 2 ? buffer->shape(1) : 1;
    // A cell of no elements has no TFORM.
    if (c.repeat == 0)
        fail_column("ValueError", "column array must hold at least one element per row");
    NumericCells cells;
    cells.array = nb::borrow(array);
    cells.buffer = std::move(buffer);
    cells.width = d.itemsize;
    cells.logical = *kind == BinKind::Logical;
    c.cells = std::move(cells);
    return c;
}

// ---- rule 2: sequences of numeric sequences, one variable-length array per row ----

// The element type of a dtype the core reads a row of straight from memory.
std::optional<VlaElement> vla_element(const DtypeInfo& d) {
    if (!d.native()) return std::nullopt;
    if (d.is('f', 4)) return VlaElement::F32;
    if (d.is('f', 8)) return VlaElement::F64;
    if (d.is('i', 1)) return VlaElement::I8;
    if (d.is('i', 2)) return VlaElement::I16;
    if (d.is('i', 4)) return VlaElement::I32;
    if (d.is('i', 8)) return VlaElement::I64;
    if (d.is('u', 1) || d.is('b', 1)) return VlaElement::U8;
    if (d.is('u', 2)) return VlaElement::U16;
    if (d.is('u', 4)) return VlaElement::U32;
    if (d.is('u', 8)) return VlaElement::U64;
    return std::nullopt;
}

// A one-dimensional NumPy array of plain numbers, read from its memory later.
bool direct_vla_row(nb::handle item, VlaRow& row) {
    if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr()) || !is_ndarray(item)) return false;
    const std::optional<VlaElement> element = vla_element(dtype_info(item));
    if (!element) return false;
    auto buffer = std::make_unique<ArrayBuffer>(item);
    if (buffer->ndim() != 1) return false;
    row.array = nb::borrow(item);
    row.buffer = std::move(buffer);
    row.element = *element;
    return true;
}

BinVlaRow vla_view(const VlaRow& row) {
    if (!row.buffer) return BinVlaRow::of_doubles(row.values);
    const ArrayBuffer& b = *row.buffer;
    return {.data = b.data(), .stride = b.stride(0), .count = b.shape(0), .element = row.element};
}

bool converted_vla_row(nb::handle item, VlaRow& row) {
    const std::optional<std::size_t> n = sequence_length(item);
    if (!n) return false;
    row.values.reserve(std::min<std::size_t>(*n, std::size_t{1} << 20));
    for (std::size_t j = 0; j < *n; ++j) {
        const nb::object x = sequence_item(item, j);
        if (!x.is_valid()) return false;
        const double v = PyFloat_AsDouble(x.ptr());
        if (v == -1.0 && PyErr_Occurred()) {
            drop_ordinary_error();
            return false;
        }
        row.values.push_back(v);
    }
    return true;
}

std::optional<Column> vla_column(nb::handle value, std::size_t n) {
    VlaCells cells;
    cells.rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object item = sequence_item(value, i);
        if (!item.is_valid()) return std::nullopt;
        VlaRow row;
        if (!direct_vla_row(item, row) && !converted_vla_row(item, row)) return std::nullopt;
        cells.rows.push_back(std::move(row));
    }
    cells.views.reserve(n);
    for (const VlaRow& row : cells.rows)
        cells.views.push_back(vla_view(row));
    Column c;
    c.kind = BinKind::P;
    c.n_rows = n;
    c.cells = std::move(cells);
    return c;
}

// ---- rules 3 and 4: character and character-array columns ----

void check_ascii(const std::vector<std::string>& strings) {
    if (std::optional<std::string> message = non_ascii_cell_refusal(strings)) {
        fail_column("ValueError", std::move(*message));
    }
}

std::size_t widest(const std::vector<std::string>& strings) {
    std::size_t w = 1;
    for (const std::string& s : strings)
        w = std::max(w, s.size());
    return w;
}

std::optional<Column> text_column(nb::handle value, std::size_t n) {
    TextCells cells;
    cells.strings.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object item = sequence_item(value, i);
        if (!item.is_valid() || !PyUnicode_Check(item.ptr())) return std::nullopt;
        cells.strings.push_back(str_bytes(item));
    }
    check_ascii(cells.strings);
    cells.width = widest(cells.strings);
    Column c;
    c.kind = BinKind::Char;
    c.n_rows = n;
    c.repeat = cells.width;
    c.cells = std::move(cells);
    return c;
}

std::optional<Column> text_array_column(nb::handle value, std::size_t n) {
    std::vector<std::size_t> row_sizes;
    TextCells cells;
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object row = sequence_item(value, i);
        if (!row.is_valid()) return std::nullopt;
        const std::optional<std::size_t> m = sequence_length(row);
        if (!m) return std::nullopt;
        for (std::size_t j = 0; j < *m; ++j) {
            const nb::object item = sequence_item(row, j);
            if (!item.is_valid() || !PyUnicode_Check(item.ptr())) return std::nullopt;
            cells.strings.push_back(str_bytes(item));
        }
        row_sizes.push_back(*m);
    }
    check_ascii(cells.strings);
    for (const std::size_t m : row_sizes) {
        if (m != row_sizes.front()) {
            fail_column("ValueError",
                        "string-array column: every row must hold the same number of strings");
        }
    }
    // Rows without strings are numeric sequences (rule 2) and never get here.
    if (row_sizes.empty() || row_sizes.front() == 0) fail_column("TypeError", kUnsupported);
    cells.per_row = row_sizes.front();
    cells.width = widest(cells.strings);
    Column c;
    c.kind = BinKind::Char;
    c.n_rows = n;
    c.repeat = cells.width * cells.per_row;
    c.tdim = char_array_tdim(cells.width, cells.per_row);
    c.cells = std::move(cells);
    return c;
}

// ---- rule 5: a list of complex numbers ----

std::optional<Column> complex_column(nb::handle value) {
    if (!PyList_Check(value.ptr())) return std::nullopt;
    const Py_ssize_t n = PyList_Size(value.ptr());
    if (n <= 0 || !PyComplex_Check(PyList_GetItem(value.ptr(), 0))) return std::nullopt;
    ComplexCells cells;
    cells.parts.reserve(static_cast<std::size_t>(n) * 2);
    // The list may change length while its items are read; the loop reads it afresh.
    for (Py_ssize_t i = 0; i < PyList_Size(value.ptr()); ++i) {
        PyObject* item = PyList_GetItem(value.ptr(), i);
        if (!PyComplex_Check(item)) {
            fail_column("ValueError", "complex column: expected list[complex] (mixed types found)");
        }
        cells.parts.push_back(PyComplex_RealAsDouble(item));
        cells.parts.push_back(PyComplex_ImagAsDouble(item));
    }
    Column c;
    c.kind = BinKind::C128;
    c.n_rows = cells.parts.size() / 2;
    c.cells = std::move(cells);
    return c;
}

// ---- rule 6: anything NumPy turns into an array of a column dtype ----

Column coerced_column(nb::handle value) {
    nb::object array;
    try {
        array = coerce_array(value, "bintable");
    } catch (const BuiltinError&) {
        fail_column("TypeError", kUnsupported);
    } catch (const nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        fail_column("TypeError", kUnsupported);
    }
    if (std::optional<Column> c = numeric_column(array)) return std::move(*c);
    fail_column("TypeError", kUnsupported);
}

Column resolve_column(nb::handle given) {
    // A swapped-order array (every column another reader hands out is big-endian) encodes
    // exactly as its native twin, not as a list of rows.
    nb::object value = nb::borrow(given);
    if (is_ndarray(value) && !dtype_info(value).native()) value = coerce_array(value, "bintable");
    if (is_ndarray(value)) {
        if (std::optional<Column> c = numeric_column(value)) return std::move(*c);
    }
    if (const std::optional<std::size_t> n = sequence_length(value)) {
        if (std::optional<Column> c = vla_column(value, *n)) return std::move(*c);
        if (std::optional<Column> c = text_column(value, *n)) return std::move(*c);
        if (std::optional<Column> c = text_array_column(value, *n)) return std::move(*c);
    }
    if (std::optional<Column> c = complex_column(value)) return std::move(*c);
    return coerced_column(value);
}

// ---- the columns as the core reads them ----

// A refusal of one column's values, worded as those of the rules above.
[[noreturn]] void raise_column_error(const std::string& name, std::string_view message) {
    std::string text = "bintable column " + name + ": ValueError: ";
    text += message;
    raise(PyExc_ValueError, std::move(text));
}

BinColumnCells core_cells(const Column& c) {
    if (const auto* n = std::get_if<NumericCells>(&c.cells)) {
        const ArrayBuffer& b = *n->buffer;
        return BinNumericCells{.data = b.data(),
                               .row_stride = b.stride(0),
                               .element_stride = b.ndim() == 2 ? b.stride(1) : 0,
                               .rows = b.shape(0),
                               .repeat = c.repeat,
                               .width = n->width,
                               .logical = n->logical};
    }
    if (const auto* t = std::get_if<TextCells>(&c.cells)) {
        return BinTextCells{t->strings, t->per_row, t->width};
    }
    if (const auto* z = std::get_if<ComplexCells>(&c.cells)) return BinComplexCells{z->parts};
    return BinVlaCells{std::get<VlaCells>(c.cells).views};
}

// ---- bintable() ----

constexpr auto kColumns = required<nb::dict>("columns", dict_argument);
constexpr auto kUnits = or_none<nb::dict>("units", optional_dict_argument);
constexpr auto kExtname = or_none<std::string>("extname");

nb::object py_bintable(const Args& p) {
    const nb::dict columns = p.get(kColumns);
    const std::optional<nb::dict> units = p.get(kUnits);
    const std::optional<std::string> extname = p.get(kExtname);

    BinTableBuilder builder;
    builder.extname = extname;
    std::vector<Column> declared;
    std::uint64_t heap_end = 0;

    // A snapshot of the pairs: conversions below may run Python code that edits the dict.
    const nb::object items = nb::steal(PyDict_Items(columns.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t n_columns = NB_LIST_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n_columns; ++i) {
        const nb::handle pair = NB_LIST_GET_ITEM(items.ptr(), i);
        const nb::handle key = NB_TUPLE_GET_ITEM(pair.ptr(), 0);
        const nb::handle value = NB_TUPLE_GET_ITEM(pair.ptr(), 1);
        std::string name = to_string(key);

        Column column;
        try {
            column = resolve_column(value);
        } catch (const ColumnFailure& f) {
            raise(PyExc_ValueError, "bintable column " + name + ": " + f.type + ": " + f.message);
        }
        if (!declared.empty() && column.n_rows != declared.front().n_rows) {
            raise(PyExc_ValueError, "column " + name + " has " + std::to_string(column.n_rows) +
                                        " rows, expected " +
                                        std::to_string(declared.front().n_rows));
        }

        std::optional<std::string> unit = option_text(units, key);

        if (column.kind == BinKind::P) {
            unwrap(builder.add_vla_column(name, BinKind::P, BinKind::F64, std::move(unit),
                                          std::nullopt));
            // Refused here, before the later columns are read, as the other rules refuse.
            const Result<std::uint64_t> end =
                plan_vla_heap(builder, builder.columns.size() - 1,
                              std::get<VlaCells>(column.cells).views, heap_end);
            if (!end) raise_column_error(name, end.error().msg);
            heap_end = *end;
        } else {
            unwrap(
                builder.add_column(name, column.kind, column.repeat, std::move(unit), column.tdim));
        }
        declared.push_back(std::move(column));
    }

    std::vector<BinColumnCells> cells;
    cells.reserve(declared.size());
    for (const Column& c : declared)
        cells.push_back(core_cells(c));
    Result<BinTableHdu> hdu = build_bintable(std::move(builder), cells);
    // Buffers the columns need but memory cannot give fail as the allocations made while the
    // columns were read do: a MemoryError without text.
    if (!hdu && hdu.error().is_out_of_memory()) throw std::bad_alloc();
    return make_bintable_builder(unwrap(std::move(hdu)).into_parts());
}

constexpr auto kBintableSig = signature("bintable()", kColumns, kUnits, kExtname);
constexpr auto kBintableDoc = function_doc<kBintableSig>(
    "Build a ``BINTABLE`` HDU from a column dictionary.\n\n"
    "Each value becomes one column, in dictionary order: a 1-D or 2-D NumPy array of bool,\n"
    "uint8, int16, int32, int64, float32 or float64 a fixed-width column (the second axis is\n"
    "the repeat count); a list of numeric sequences a variable-length ``1PD`` column; a list\n"
    "of str a character column; a list of lists of str a character-array column with TDIM;\n"
    "a list of complex a ``1M`` column. ``units`` maps column names to TUNIT texts.");
constexpr FunctionDef kBintable{kBintableDoc, py_bintable};
const Registration kBintableRegistration{
    "bintable", [](nb::module_& m) { return make_function<kBintable>(m); }};

}  // namespace

}  // namespace vexlo::py
