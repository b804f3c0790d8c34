// bintable(): a dict of columns to a finished BINTABLE HDU. Each column's FITS type is
// decided from its Python value; NumPy columns are then encoded straight from the array's
// memory into the row buffer, other columns from the values converted while deciding.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/strided.hpp"
#include "hdu/bintable.hpp"
#include "hdu/builders.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/module.hpp"
#include "util/checked.hpp"

namespace vexlo::py {

namespace {

const char* const kUnsupported =
    "bintable: unsupported column type (use bool/u8/i16/i32/i64/f32/f64 numpy arrays or "
    "sequences of numbers, list[str], list[complex], or list[list[float]] for VLA)";

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
    DtypeInfo dtype;

    std::uint64_t count() const { return buffer ? buffer->shape(0) : values.size(); }
};

struct VlaCells {
    std::vector<VlaRow> rows;
};

struct Column {
    std::variant<NumericCells, TextCells, ComplexCells, VlaCells> cells;
    std::uint64_t n_rows = 0;
    BinKind kind = BinKind::F64;
    std::uint64_t repeat = 1;
    std::optional<std::string> tdim;

    std::uint64_t cell_width() const {
        if (const auto* n = std::get_if<NumericCells>(&cells)) return n->width * repeat;
        if (std::holds_alternative<TextCells>(cells)) return repeat;
        if (std::holds_alternative<ComplexCells>(cells)) return 16;
        return 8;  // a P descriptor
    }
};

// ---- rule 1: NumPy arrays of the seven column dtypes ----

std::optional<BinKind> numeric_kind(const DtypeInfo& d) {
    if (!d.native()) return std::nullopt;
    if (d.is('u', 1)) return BinKind::Byte;
    if (d.is('i', 2)) return BinKind::I16;
    if (d.is('i', 4)) return BinKind::I32;
    if (d.is('i', 8)) return BinKind::I64;
    if (d.is('f', 4)) return BinKind::F32;
    if (d.is('f', 8)) return BinKind::F64;
    if (d.is('b', 1)) return BinKind::Logical;
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

bool direct_vla_dtype(const DtypeInfo& d) {
    if (!d.native()) return false;
    if (d.kind == 'b') return d.itemsize == 1;
    if (d.kind == 'i' || d.kind == 'u') {
        return d.itemsize == 1 || d.itemsize == 2 || d.itemsize == 4 || d.itemsize == 8;
    }
    return d.kind == 'f' && (d.itemsize == 4 || d.itemsize == 8);
}

// A one-dimensional NumPy array of plain numbers, read from its memory later.
bool direct_vla_row(nb::handle item, VlaRow& row) {
    if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr()) || !is_ndarray(item)) return false;
    const DtypeInfo d = dtype_info(item);
    if (!direct_vla_dtype(d)) return false;
    auto buffer = std::make_unique<ArrayBuffer>(item);
    if (buffer->ndim() != 1) return false;
    row.array = nb::borrow(item);
    row.buffer = std::move(buffer);
    row.dtype = d;
    return true;
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
    Column c;
    c.kind = BinKind::P;
    c.n_rows = n;
    c.cells = std::move(cells);
    return c;
}

// ---- rules 3 and 4: character and character-array columns ----

void check_ascii(const std::vector<std::string>& strings) {
    for (const std::string& s : strings) {
        if (std::optional<std::string> message = non_ascii_message(s)) {
            fail_column("ValueError", std::move(*message));
        }
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
    c.tdim = "(" + std::to_string(cells.width) + "," + std::to_string(cells.per_row) + ")";
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

// ---- heap planning ----

[[noreturn]] void raise_column_error(const std::string& name, std::string_view message) {
    std::string text = "bintable column " + name + ": ValueError: ";
    text += message;
    raise(PyExc_ValueError, std::move(text));
}

std::string beyond_reach(std::size_t row, std::uint64_t count, std::uint64_t offset) {
    return "variable-length row " + std::to_string(row) + " holds " + std::to_string(count) +
           " elements at heap offset " + std::to_string(offset) +
           ", beyond the reach of 32-bit P descriptors (at most " +
           std::to_string(kMaxPDescriptorField) + ")";
}

// Counts every row's array against the reach of P descriptors, continuing the heap at
// `heap_end`; refuses the column rather than letting a descriptor wrap.
void plan_heap(const BinTableBuilder& builder, std::size_t index, const std::string& name,
               const VlaCells& cells, std::uint64_t& heap_end) {
    std::uint8_t scratch[8];
    for (std::size_t r = 0; r < cells.rows.size(); ++r) {
        const std::uint64_t count = cells.rows[r].count();
        if (!builder.encode_descriptor(index, count, heap_end, scratch)) {
            raise_column_error(name, beyond_reach(r, count, heap_end));
        }
        const std::uint64_t bytes = count * 8;  // count is below 2^31 here
        if (heap_end + bytes > kMaxPDescriptorField) {
            raise_column_error(name, "variable-length arrays need a heap of " +
                                         std::to_string(heap_end + bytes) +
                                         " bytes; 32-bit P descriptors reach at most " +
                                         std::to_string(kMaxPDescriptorField) + " bytes");
        }
        heap_end += bytes;
    }
}

// ---- writing the cells ----

void write_numeric(const NumericCells& cells, std::uint64_t repeat, std::uint8_t* first,
                   std::size_t row_width) {
    const ArrayBuffer& b = *cells.buffer;
    const std::size_t n_rows = b.shape(0);
    const std::ptrdiff_t s0 = b.stride(0);
    const std::ptrdiff_t s1 = b.ndim() == 2 ? b.stride(1) : 0;
    const std::uint8_t* src = b.data();
    if (cells.logical) {
        for (std::size_t r = 0; r < n_rows; ++r)
            encode_logical_run(src + static_cast<std::ptrdiff_t>(r) * s0, s1, repeat,
                               first + r * row_width);
        return;
    }
    auto each = [&]<class U>(U) {
        if (repeat == 1) {
            encode_scatter<U>(src, s0, n_rows, first, row_width);
            return;
        }
        for (std::size_t r = 0; r < n_rows; ++r)
            encode_run<U>(src + static_cast<std::ptrdiff_t>(r) * s0, s1, repeat,
                          first + r * row_width, U{0});
    };
    switch (cells.width) {
        case 1:
            each(std::uint8_t{});
            break;
        case 2:
            each(std::uint16_t{});
            break;
        case 4:
            each(std::uint32_t{});
            break;
        default:
            each(std::uint64_t{});
            break;
    }
}

void write_text(const TextCells& cells, std::uint64_t n_rows, std::uint8_t* first,
                std::size_t row_width) {
    for (std::uint64_t r = 0; r < n_rows; ++r) {
        std::uint8_t* cell = first + r * row_width;
        for (std::size_t k = 0; k < cells.per_row; ++k) {
            const std::string& s = cells.strings[r * cells.per_row + k];
            std::uint8_t* slot = cell + k * cells.width;
            std::memcpy(slot, s.data(), s.size());
            std::memset(slot + s.size(), ' ', cells.width - s.size());
        }
    }
}

void write_complex(const ComplexCells& cells, std::uint8_t* first, std::size_t row_width) {
    const std::size_t n_rows = cells.parts.size() / 2;
    for (std::size_t r = 0; r < n_rows; ++r) {
        encode_run<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(&cells.parts[2 * r]), 8, 2,
                                  first + r * row_width, 0);
    }
}

void write_vla_values(const VlaRow& row, std::uint8_t* out) {
    if (!row.buffer) {
        encode_run<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(row.values.data()), 8,
                                  row.values.size(), out, 0);
        return;
    }
    const ArrayBuffer& b = *row.buffer;
    const std::uint8_t* src = b.data();
    const std::ptrdiff_t s = b.stride(0);
    const std::size_t n = b.shape(0);
    const DtypeInfo& d = row.dtype;
    if (d.kind == 'f') {
        if (d.itemsize == 4) return encode_as_f64_run<float>(src, s, n, out);
        return encode_run<std::uint64_t>(src, s, n, out, 0);
    }
    if (d.kind == 'i') {
        switch (d.itemsize) {
            case 1:
                return encode_as_f64_run<std::int8_t>(src, s, n, out);
            case 2:
                return encode_as_f64_run<std::int16_t>(src, s, n, out);
            case 4:
                return encode_as_f64_run<std::int32_t>(src, s, n, out);
            default:
                return encode_as_f64_run<std::int64_t>(src, s, n, out);
        }
    }
    switch (d.itemsize) {  // unsigned, or a bool byte
        case 1:
            return encode_as_f64_run<std::uint8_t>(src, s, n, out);
        case 2:
            return encode_as_f64_run<std::uint16_t>(src, s, n, out);
        case 4:
            return encode_as_f64_run<std::uint32_t>(src, s, n, out);
        default:
            return encode_as_f64_run<std::uint64_t>(src, s, n, out);
    }
}

void write_vla(const BinTableBuilder& builder, std::size_t index, const std::string& name,
               const VlaCells& cells, std::uint8_t* first, std::size_t row_width, Bytes& heap,
               std::uint64_t& heap_pos) {
    for (std::size_t r = 0; r < cells.rows.size(); ++r) {
        const VlaRow& row = cells.rows[r];
        const std::uint64_t count = row.count();
        if (!builder.encode_descriptor(index, count, heap_pos,
                                       std::span<std::uint8_t>(first + r * row_width, 8))) {
            raise_column_error(name, beyond_reach(r, count, heap_pos));
        }
        write_vla_values(row, heap.data() + heap_pos);
        heap_pos += count * 8;
    }
}

std::size_t checked_size(std::uint64_t a, std::uint64_t b) {
    const std::optional<std::uint64_t> r = checked_mul(a, b);
    if (!r || *r > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    return static_cast<std::size_t>(*r);
}

// ---- bintable() ----

struct Declared {
    std::string name;
    Column column;
};

nb::object py_bintable(const Args& p) {
    const nb::dict columns = p.convert("columns", dict_argument);
    const std::optional<nb::dict> units = p.convert_opt("units", optional_dict_argument);
    const std::optional<std::string> extname = p.convert_opt("extname", to_string);

    BinTableBuilder builder;
    builder.extname = extname;
    std::vector<Declared> declared;
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
        if (!declared.empty() && column.n_rows != declared.front().column.n_rows) {
            raise(PyExc_ValueError, "column " + name + " has " + std::to_string(column.n_rows) +
                                        " rows, expected " +
                                        std::to_string(declared.front().column.n_rows));
        }

        std::optional<std::string> unit = option_text(units, key);

        if (column.kind == BinKind::P) {
            unwrap(builder.add_vla_column(name, BinKind::P, BinKind::F64, std::move(unit),
                                          std::nullopt));
            plan_heap(builder, builder.columns.size() - 1, name, std::get<VlaCells>(column.cells),
                      heap_end);
        } else {
            unwrap(
                builder.add_column(name, column.kind, column.repeat, std::move(unit), column.tdim));
        }
        declared.push_back({std::move(name), std::move(column)});
    }

    const std::uint64_t n_rows = declared.empty() ? 0 : declared.front().column.n_rows;
    const std::uint64_t row_width = builder.row_width();
    const std::size_t rows_size = checked_size(n_rows, row_width);
    const std::size_t heap_size = static_cast<std::size_t>(heap_end);
    // Room for the heap too: the table keeps rows and heap in one buffer.
    Bytes rows = encode_buffer_of(rows_size + heap_size);
    rows.resize(rows_size);
    Bytes heap = encode_buffer_of(heap_size);

    std::uint64_t offset = 0;
    std::uint64_t heap_pos = 0;
    for (std::size_t ci = 0; ci < declared.size(); ++ci) {
        const Column& c = declared[ci].column;
        std::uint8_t* first = rows.data() + offset;
        const auto w = static_cast<std::size_t>(row_width);
        if (const auto* numeric = std::get_if<NumericCells>(&c.cells)) {
            write_numeric(*numeric, c.repeat, first, w);
        } else if (const auto* text = std::get_if<TextCells>(&c.cells)) {
            write_text(*text, c.n_rows, first, w);
        } else if (const auto* complex = std::get_if<ComplexCells>(&c.cells)) {
            write_complex(*complex, first, w);
        } else {
            write_vla(builder, ci, declared[ci].name, std::get<VlaCells>(c.cells), first, w, heap,
                      heap_pos);
        }
        offset += c.cell_width();
    }
    ensure(offset == row_width, "bintable: column widths disagree with the row width");

    BinTableHdu hdu = unwrap(std::move(builder).build(n_rows, std::move(rows), heap));
    return make_bintable_builder(std::move(hdu).into_parts());
}

constexpr auto kBintableSig =
    signature("bintable()", required("columns"), optional("units"), optional("extname"));
constexpr FunctionDef kBintable{
    "bintable", kBintableSig,
    "bintable(columns, units=None, extname=None)\n--\n\n"
    "Build a ``BINTABLE`` HDU from a column dictionary.\n\n"
    "Each value becomes one column, in dictionary order: a 1-D or 2-D NumPy array of bool,\n"
    "uint8, int16, int32, int64, float32 or float64 a fixed-width column (the second axis is\n"
    "the repeat count); a list of numeric sequences a variable-length ``1PD`` column; a list\n"
    "of str a character column; a list of lists of str a character-array column with TDIM;\n"
    "a list of complex a ``1M`` column. ``units`` maps column names to TUNIT texts.",
    py_bintable};
const Registration kBintableRegistration{
    "bintable", [](nb::module_& m) { return make_function<kBintable>(m); }};

}  // namespace

}  // namespace vexlo::py
