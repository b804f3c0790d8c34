// Decoded table columns turned into Python objects: whole columns as NumPy arrays or lists,
// one row's values for a row dict, and the record array of every column. Every call builds
// new objects over buffers of their own, so nothing a caller does reaches the table.
#include <Python.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/pixels.hpp"
#include "python/table_state.hpp"

namespace vexlo::py {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

// NumPy as the conversions of one call see it, imported when the first array is made (a
// column of logicals, strings or complex pairs needs none); `numpy.ma` is imported only when
// a masked array is needed.
class Numpy {
  public:
    nb::handle module() const {
        if (!module_.is_valid()) module_ = nb::borrow(numpy_module());
        return module_;
    }
    // numpy.empty(n, dtype), called with positional arguments and the dtype object made once
    // per call of the conversions: a column of per-row arrays makes one array per row.
    nb::object empty(std::size_t n, const char* dtype) const {
        if (!empty_.is_valid()) empty_ = module().attr("empty");
        if (last_name_ == nullptr || std::strcmp(dtype, last_name_) != 0) {
            last_dtype_ = module().attr("dtype")(dtype);
            last_name_ = dtype;
        }
        nb::object count = nb::int_(n);
        PyObject* args[] = {count.ptr(), last_dtype_.ptr()};
        PyObject* out = PyObject_Vectorcall(empty_.ptr(), args, 2, nullptr);
        if (out == nullptr) throw nb::python_error();
        return nb::steal(out);
    }

  private:
    mutable nb::object module_;
    mutable nb::object empty_;
    mutable nb::object last_dtype_;
    mutable const char* last_name_ = nullptr;
};

// A new, C-contiguous 1-D array of `n` elements of `dtype` that owns its buffer, and a
// pointer to that buffer for filling. NumPy's own exception (a MemoryError) propagates.
struct EmptyArray {
    nb::object array;
    void* data = nullptr;
};

EmptyArray empty_array(const Numpy& np, const char* dtype, std::size_t n) {
    EmptyArray out;
    out.array = np.empty(n, dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(out.array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        throw nb::python_error();
    }
    out.data = view.buf;
    PyBuffer_Release(&view);  // the array keeps owning its memory
    return out;
}

template <class T>
constexpr const char* dtype_of() {
    if constexpr (std::is_same_v<T, double>) return "float64";
    if constexpr (std::is_same_v<T, float>) return "float32";
    if constexpr (std::is_same_v<T, std::int64_t>) return "int64";
    if constexpr (std::is_same_v<T, std::uint64_t>) return "uint64";
    if constexpr (std::is_same_v<T, bool>) return "bool";
}

// An array holding a copy of `values`.
template <class T>
nb::object array_of(const Numpy& np, std::span<const T> values) {
    EmptyArray a = empty_array(np, dtype_of<T>(), values.size());
    if (!values.empty()) std::memcpy(a.data, values.data(), values.size_bytes());
    return a.array;
}

// The read-only flag (and the aligned flag) of an ndarray cleared; anything that refuses the
// call (a list) is returned as it is.
nb::object freeze_table_array(nb::object obj) {
    try {
        obj.attr("setflags")(false, false);
    } catch (nb::python_error&) {
        // Not an ndarray: handed out unfrozen.
    }
    return obj;
}

// An int64 (or uint64) array of the values; when some are null, numpy.ma.array(data=...,
// mask=...) with 0 in place of each null and the mask true exactly there.
template <class T>
nb::object masked_int_array(const Numpy& np, std::span<const T> values,
                            std::span<const std::uint8_t> nulls) {
    nb::object data = array_of<T>(np, values);
    if (nulls.empty()) return data;
    EmptyArray mask = empty_array(np, "bool", nulls.size());
    if (!nulls.empty()) std::memcpy(mask.data, nulls.data(), nulls.size());
    nb::object ma_array = nb::module_::import_("numpy.ma").attr("array");
    return ma_array(nb::arg("data") = data, nb::arg("mask") = mask.array);
}

// The same from decoded optional elements.
template <class T>
nb::object masked_from_optionals(const Numpy& np, const std::vector<std::optional<T>>& values) {
    std::vector<T> data(values.size());
    std::vector<std::uint8_t> nulls;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i]) {
            data[i] = *values[i];
        } else {
            if (nulls.empty()) nulls.assign(values.size(), 0);
            nulls[i] = 1;
        }
    }
    return masked_int_array<T>(np, data, nulls);
}

// TDIMn as the per-row conversions use it.
struct Shape {
    const std::vector<std::uint64_t>* dims = nullptr;
    nb::tuple reversed;                // the dimensions, last first (C order)
    std::optional<nb::tuple> strings;  // dims from the second on, reversed (three or more)
};

std::optional<Shape> shape_of(const std::optional<std::vector<std::uint64_t>>& tdim) {
    if (!tdim) return std::nullopt;
    const std::vector<std::uint64_t>& dims = *tdim;
    Shape s;
    s.dims = &dims;
    nb::list reversed;
    for (auto it = dims.rbegin(); it != dims.rend(); ++it)
        reversed.append(nb::int_(*it));
    s.reversed = nb::tuple(reversed);
    if (dims.size() >= 3) {
        nb::list rest;
        for (std::size_t i = dims.size(); i-- > 1;)
            rest.append(nb::int_(dims[i]));
        s.strings = nb::tuple(rest);
    }
    return s;
}

// A numeric per-row array shaped as TDIMn shapes a cell of `n` elements: cut to the
// elements it shapes, then reshaped; an unshaped cell, or a failing cut or reshape, keeps the
// 1-D array.
nb::object reshaped(nb::object array, std::size_t n, const Shape* shape) {
    if (shape == nullptr) return array;
    const std::optional<std::uint64_t> count = tdim_cell_count(*shape->dims, n);
    if (!count) return array;
    try {
        nb::object cut = array;
        if (n > *count) {
            nb::object range =
                nb::steal(PySlice_New(nb::int_(0).ptr(), nb::int_(*count).ptr(), nullptr));
            if (!range.is_valid()) throw nb::python_error();
            cut = nb::steal(PyObject_GetItem(array.ptr(), range.ptr()));
            if (!cut.is_valid()) throw nb::python_error();
        }
        return cut.attr("reshape")(shape->reversed);
    } catch (nb::python_error&) {
        return array;
    }
}

nb::object bool_object(bool b) {
    return nb::bool_(b);
}

nb::object optional_bool(const std::optional<bool>& b) {
    return b ? bool_object(*b) : nb::none();
}

nb::object logical_list(const std::vector<std::optional<bool>>& values) {
    nb::list out;
    for (const std::optional<bool>& v : values)
        out.append(optional_bool(v));
    return out;
}

nb::object bits_array(const Numpy& np, const BinValue::Bits& bits) {
    EmptyArray a = empty_array(np, "bool", static_cast<std::size_t>(bits.n_bits));
    auto* out = static_cast<std::uint8_t*>(a.data);
    for (std::uint64_t k = 0; k < bits.n_bits; ++k) {
        const std::uint64_t byte = k / 8;
        const std::uint8_t b = byte < bits.bytes.size() ? bits.bytes[byte] : 0;
        out[k] = (b >> (7 - k % 8)) & 1;
    }
    return a.array;
}

template <class T>
nb::object complex_list(const std::vector<std::complex<T>>& values) {
    nb::list out;
    for (const std::complex<T>& c : values) {
        out.append(nb::make_tuple(nb::float_(static_cast<double>(c.real())),
                                  nb::float_(static_cast<double>(c.imag()))));
    }
    return out;
}

nb::object string_list(const std::vector<std::string>& values) {
    nb::list out;
    for (const std::string& s : values)
        out.append(py_text(s));
    return out;
}

// Several strings of one cell: a list, or for three or more TDIMn dimensions a NumPy array of
// str shaped by the dimensions after the first (the list when that fails).
nb::object string_array_entry(const Numpy& np, const std::vector<std::string>& values,
                              const Shape* shape) {
    nb::object list = string_list(values);
    if (shape == nullptr || !shape->strings) return list;
    try {
        return np.module().attr("array")(list).attr("reshape")(*shape->strings);
    } catch (nb::python_error&) {
        return list;
    }
}

// A masked integer array for one cell, or None when NumPy cannot build it.
template <class T>
nb::object integer_entry(const Numpy& np, const std::vector<std::optional<T>>& values,
                         const Shape* shape) {
    nb::object array;
    try {
        array = masked_from_optionals(np, values);
    } catch (nb::python_error&) {
        return nb::none();
    }
    return reshaped(std::move(array), values.size(), shape);
}

template <class T>
nb::object vector_entry(const Numpy& np, const std::vector<T>& values, const Shape* shape) {
    return reshaped(array_of<T>(np, values), values.size(), shape);
}

// One row's Python entry of a column kept cell by cell.
nb::object cell_entry(const Numpy& np, const BinValue& cell, const Shape* shape) {
    return std::visit(
        Overloaded{
            [&](const BinValue::Logical& v) { return logical_list(v.values); },
            [&](const BinValue::Bits& v) { return bits_array(np, v); },
            [&](const BinValue::Int& v) { return integer_entry(np, v.values, shape); },
            [&](const BinValue::Uint& v) { return integer_entry(np, v.values, shape); },
            [&](const BinValue::Float& v) { return vector_entry(np, v.values, shape); },
            [&](const BinValue::Str& v) { return nb::object(py_text(v.value)); },
            [&](const BinValue::StrArray& v) { return string_array_entry(np, v.values, shape); },
            [&](const BinValue::F32& v) { return vector_entry(np, v.values, shape); },
            [&](const BinValue::F64& v) { return vector_entry(np, v.values, shape); },
            [&](const BinValue::C64& v) { return complex_list(v.values); },
            [&](const BinValue::C128& v) { return complex_list(v.values); },
            // The heap array has no TDIMn of its own.
            [&](const BinValue::Vla& v) { return cell_entry(np, *v.inner, nullptr); },
        },
        cell.value);
}

// A list of `n` entries made at its full length first, so that a list too long to hold fails
// at once; `entry(row)` gives each row's new object.
template <class F>
nb::object list_of_rows(std::uint64_t n, F entry) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        raise(PyExc_MemoryError, "a list of " + std::to_string(n) + " rows cannot be made");
    }
    nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out.is_valid()) throw nb::python_error();
    for (std::uint64_t row = 0; row < n; ++row) {
        if (PyList_SetItem(out.ptr(), static_cast<Py_ssize_t>(row), entry(row).release().ptr()) !=
            0) {
            throw nb::python_error();
        }
    }
    return out;
}

nb::object per_row_list(const Numpy& np, const PerRow& column) {
    const std::optional<Shape> shape = shape_of(column.tdim);
    const Shape* s = shape ? &*shape : nullptr;
    return list_of_rows(column.size(),
                        [&](std::uint64_t row) { return cell_entry(np, column.cell(row), s); });
}

// A uniform column repeats its one string; Python refuses a list it cannot hold.
nb::object strings_list(const Strings& column) {
    if (column.uniform_rows == 0) return string_list(column.values);
    nb::list one;
    one.append(py_text(column.values.at(0)));
    if (column.uniform_rows > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        raise(PyExc_MemoryError,
              "a list of " + std::to_string(column.uniform_rows) + " rows cannot be made");
    }
    PyObject* all = PySequence_Repeat(one.ptr(), static_cast<Py_ssize_t>(column.uniform_rows));
    if (all == nullptr) throw nb::python_error();
    return nb::steal(all);
}

nb::object logicals_list(const Logicals& column) {
    nb::list out;
    for (std::uint8_t v : column.values)
        out.append(v == 2 ? nb::none() : bool_object(v == 1));
    return out;
}

nb::object int_value(const IntValues& column, std::size_t row) {
    if (!column.nulls.empty() && column.nulls[row] != 0) return nb::none();
    return nb::int_(column.values[row]);
}

}  // namespace

nb::str py_text(std::string_view text) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::ptrdiff_t find_column(const TableState& table, std::string_view name) {
    for (std::size_t i = 0; i < table.column_names.size(); ++i) {
        if (table.column_names[i] == name) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

namespace {

nb::object decoded_column_object(const DecodedColumn& decoded) {
    nb::object result =
        std::visit(Overloaded{
                       [&](const Float64Values& c) { return array_of<double>(Numpy{}, c.values); },
                       [&](const IntValues& c) {
                           return masked_int_array<std::int64_t>(Numpy{}, c.values, c.nulls);
                       },
                       [&](const Strings& c) { return strings_list(c); },
                       [&](const Logicals& c) { return logicals_list(c); },
                       [&](const PerRow& c) {
                           // An empty column needs no NumPy.
                           if (c.size() == 0) return nb::object(nb::list());
                           return per_row_list(Numpy{}, c);
                       },
                   },
                   decoded);
    if (std::holds_alternative<Float64Values>(decoded) ||
        std::holds_alternative<IntValues>(decoded)) {
        return freeze_table_array(std::move(result));
    }
    return result;  // lists are never frozen
}

// The bytes of a new NumPy array's buffer, as the core decoders fill them.
template <class T>
std::span<T> array_span(void* data, std::uint64_t n) {
    return std::span<T>(static_cast<T*>(data), static_cast<std::size_t>(n));
}

// Float64 and Int columns of a binary table decoded together into their buffers, as the
// table reader reads them.
void decode_targets(const TableState& table, std::span<ColumnTarget> targets) {
    unwrap(without_gil([&] { return table.bin->decode_targets(targets); }));
}

// An Int column's decoded values as numpy.ma.array(data=..., mask=...). Nulls are rare: their
// flags are read in a second pass, only for columns that have some.
nb::object with_null_mask(const Numpy& np, const TableState& table, const ColumnTarget& target,
                          const nb::object& values) {
    EmptyArray mask = empty_array(np, "bool", target.ints.size());
    ColumnTarget flagged = target;
    flagged.nulls = array_span<std::uint8_t>(mask.data, target.ints.size());
    decode_targets(table, std::span(&flagged, 1));
    nb::object ma_array = nb::module_::import_("numpy.ma").attr("array");
    return ma_array(nb::arg("data") = values, nb::arg("mask") = mask.array);
}

// A column of fixed arrays of numbers: each row decoded straight into its own new array of
// the column's element type, as the cell conversion would shape and mask it.
template <class T>
nb::object fixed_array_list(const Numpy& np, const BinTableHdu& t, const BinColumn& c,
                            const Shape* shape) {
    constexpr bool kInteger = std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>;
    const auto repeat = static_cast<std::size_t>(c.format.repeat);
    std::vector<std::uint8_t> nulls(kInteger ? repeat : 0);
    return list_of_rows(t.n_rows, [&](std::uint64_t row) -> nb::object {
        nb::object array;
        try {
            EmptyArray a = empty_array(np, dtype_of<T>(), repeat);
            const std::span<T> values(static_cast<T*>(a.data), repeat);
            const std::uint64_t n_nulls = unwrap(t.read_column(c, row, 1, values, nulls));
            array = n_nulls == 0 ? std::move(a.array) : masked_int_array<T>(np, values, nulls);
        } catch (nb::python_error&) {
            // As for a cell: an integer array NumPy cannot build reads None.
            if (!kInteger) throw;
            return nb::none();
        }
        return reshaped(std::move(array), repeat, shape);
    });
}

// One row's heap array of numbers decoded straight into a new array of its element type, as
// the cell conversion would give it.
template <class T>
nb::object vla_array(const Numpy& np, const BinTableHdu& t, const BinColumn& c, std::uint64_t row,
                     std::size_t count) {
    constexpr bool kInteger = std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>;
    try {
        EmptyArray a = empty_array(np, dtype_of<T>(), count);
        const std::span<T> values(static_cast<T*>(a.data), count);
        std::vector<std::uint8_t> nulls(kInteger ? count : 0);
        const std::uint64_t n_nulls = unwrap(t.read_vla(row, c, values, nulls));
        return n_nulls == 0 ? std::move(a.array) : masked_int_array<T>(np, values, nulls);
    } catch (nb::python_error&) {
        // As for a cell: an integer array NumPy cannot build reads None.
        if (!kInteger) throw;
        return nb::none();
    }
}

// One row of a P/Q column: numbers decoded straight into their array, other arrays through
// the row's decoded cell.
nb::object vla_row(const Numpy& np, const BinTableHdu& t, const BinColumn& c, std::uint64_t row,
                   const Shape* shape) {
    const VlaExtent extent = unwrap(t.vla_extent(row, c));
    const auto count = static_cast<std::size_t>(extent.count);
    // An empty heap array is an empty array of the column's element type, as any other row.
    switch (extent.element.value_or(ColumnElement::Bool)) {
        case ColumnElement::I64:
            return vla_array<std::int64_t>(np, t, c, row, count);
        case ColumnElement::U64:
            return vla_array<std::uint64_t>(np, t, c, row, count);
        case ColumnElement::F64:
            return vla_array<double>(np, t, c, row, count);
        case ColumnElement::F32:
            return vla_array<float>(np, t, c, row, count);
        default:
            return cell_entry(np, unwrap(t.read_cell(row, c)), shape);
    }
}

// The per-row list of a fixed-width numeric array column, built without decoded cells; none
// for other columns.
std::optional<nb::object> fixed_numeric_rows(const Numpy& np, const BinTableHdu& t,
                                             const BinColumn& c, const Shape* shape) {
    const Result<ColumnElement> element = BinTableHdu::column_element(c);
    if (!element || c.format.kind == BinKind::Logical) return std::nullopt;
    switch (*element) {
        case ColumnElement::I64:
            return fixed_array_list<std::int64_t>(np, t, c, shape);
        case ColumnElement::U64:
            return fixed_array_list<std::uint64_t>(np, t, c, shape);
        case ColumnElement::F64:
            return fixed_array_list<double>(np, t, c, shape);
        case ColumnElement::F32:
            return fixed_array_list<float>(np, t, c, shape);
        default:
            return std::nullopt;
    }
}

// A column of a binary table decoded straight into the buffers of the objects returned.
nb::object bin_column_object(const BinTableHdu& t, const BinColumn& c) {
    const std::uint64_t n = t.n_rows;
    switch (bin_column_form(t, c)) {
        case ColumnForm::Float64:
        case ColumnForm::Int:
            break;  // column_object() decodes them with column_objects()
        case ColumnForm::Logicals: {
            Logicals values{std::vector<std::uint8_t>(static_cast<std::size_t>(n))};
            unwrap(without_gil([&] { return decode_logical_rows(t, c, 0, values.values); }));
            return logicals_list(values);
        }
        case ColumnForm::Strings:
            return list_of_rows(n, [&](std::uint64_t row) -> nb::object {
                return py_text(unwrap(bin_cell_text(t, c, row)));
            });
        case ColumnForm::PerRow:
            break;
    }
    if (n == 0) return nb::list();
    const Numpy np;
    const std::optional<Shape> shape = shape_of(c.tdim);
    const Shape* s = shape ? &*shape : nullptr;
    if (c.format.kind == BinKind::P || c.format.kind == BinKind::Q) {
        return list_of_rows(n, [&](std::uint64_t row) { return vla_row(np, t, c, row, s); });
    }
    if (std::optional<nb::object> rows = fixed_numeric_rows(np, t, c, s)) return *rows;
    return list_of_rows(
        n, [&](std::uint64_t row) { return cell_entry(np, unwrap(t.read_cell(row, c)), s); });
}

// The record of an ASCII table whose text column `column` is read when asked for; null for
// other columns.
const AsciiTableHdu* ascii_text(const TableState& table, std::size_t column) {
    if (!table.ascii || !is_ascii_text_column(*table.ascii, table.ascii->columns.at(column))) {
        return nullptr;
    }
    return &*table.ascii;
}

// Rows [first, first + n) of an ASCII text column, each field's text as stored.
Strings ascii_text_rows(const AsciiTableHdu& t, const AsciiColumn& c, std::uint64_t first,
                        std::uint64_t n) {
    Strings out;
    out.values.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t r = first; r < first + n; ++r)
        out.values.emplace_back(unwrap(t.field_text(r, c)));
    return out;
}

// Every row of a column: the ASCII table's decoded column, or a column decoded into `holder`.
const DecodedColumn& whole_column(const TableState& table, std::size_t column,
                                  std::optional<DecodedColumn>& holder) {
    if (const AsciiTableHdu* t = ascii_text(table, column)) {
        holder = ascii_text_rows(*t, t->columns.at(column), 0, t->n_rows);
        return *holder;
    }
    if (!table.bin) return table.columns.at(column);
    holder = unwrap(without_gil([&] { return table.bin->column(column); }));
    return *holder;
}

// The Python value of the one row `one` holds.
nb::object row_object(const DecodedColumn& one) {
    return std::visit(
        Overloaded{
            [&](const Float64Values& c) { return nb::object(nb::float_(c.values.at(0))); },
            [&](const IntValues& c) { return int_value(c, 0); },
            [&](const Strings& c) { return nb::object(py_text(c.at(0))); },
            [&](const Logicals& c) {
                const std::uint8_t v = c.values.at(0);
                return v == 2 ? nb::none() : bool_object(v == 1);
            },
            [&](const PerRow& c) {
                const std::optional<Shape> shape = shape_of(c.tdim);
                return cell_entry(Numpy{}, c.cell(0), shape ? &*shape : nullptr);
            },
        },
        one);
}

}  // namespace

DecodedColumn column_rows(const TableState& table, std::size_t column, std::uint64_t first,
                          std::uint64_t n) {
    if (table.bin) {
        return unwrap(reader_call(table, [&] { return table.bin->column_rows(column, first, n); }));
    }
    if (const AsciiTableHdu* t = ascii_text(table, column)) {
        return ascii_text_rows(*t, t->columns.at(column), first, n);
    }
    const auto at = static_cast<std::size_t>(first);
    const auto count = static_cast<std::size_t>(n);
    auto part = [&](const auto& v) { return std::vector(v.begin() + at, v.begin() + at + count); };
    return std::visit(
        Overloaded{
            [&](const Float64Values& c) { return DecodedColumn(Float64Values{part(c.values)}); },
            [&](const IntValues& c) {
                return DecodedColumn(
                    IntValues{part(c.values), c.nulls.empty() ? c.nulls : part(c.nulls)});
            },
            [&](const Strings& c) {
                Strings out;
                for (std::uint64_t r = first; r < first + n; ++r)
                    out.values.push_back(c.at(r));
                return DecodedColumn(std::move(out));
            },
            [&](const Logicals& c) { return DecodedColumn(Logicals{part(c.values)}); },
            [&](const PerRow& c) {
                PerRow out{{}, c.tdim};
                for (std::uint64_t r = first; r < first + n; ++r)
                    out.cells.push_back(c.cell(r));
                return DecodedColumn(std::move(out));
            },
        },
        table.columns.at(column));
}

namespace {

// A scalar numeric column of a binary table, decoded with the columns the table reader
// decodes ahead of their request; those are held here, each handed out (once) when asked for.
nb::object scalar_column_object(const TableState& table, std::size_t column) {
    const TableReader& reader = *table.bin;
    const std::size_t n_columns = reader.layout().columns.size();
    if (table.ahead.size() == n_columns && table.ahead[column].is_valid()) {
        nb::object out = std::move(table.ahead[column]);
        table.ahead[column] = nb::object();
        return out;
    }
    const std::vector<std::size_t> columns = reader.plan_scalar_read(column);
    std::vector<nb::object> decoded = column_objects(table, columns);
    if (columns.size() > 1) table.ahead.resize(n_columns);
    for (std::size_t k = 1; k < columns.size(); ++k)
        table.ahead[columns[k]] = std::move(decoded[k]);
    return std::move(decoded[0]);
}

}  // namespace

nb::object column_object(const TableState& table, std::size_t column) {
    if (const AsciiTableHdu* t = ascii_text(table, column)) {
        // Each field's text goes straight from the record into its str.
        const AsciiColumn& c = t->columns.at(column);
        return list_of_rows(t->n_rows, [&](std::uint64_t row) -> nb::object {
            return py_text(unwrap(t->field_text(row, c)));
        });
    }
    if (table.bin) {
        // Numeric columns go through the block-wise pass, which splits large tables into row
        // ranges over the cores as a whole-table read does.
        if (table.bin->is_scalar_numeric(column)) return scalar_column_object(table, column);
        const BinTableHdu& t = bin_record(table);
        const BinColumn& c = t.columns.at(column);
        if (!is_uniform_column(t, c)) return bin_column_object(t, c);
    }
    std::optional<DecodedColumn> holder;
    return decoded_column_object(whole_column(table, column, holder));
}

std::vector<nb::object> column_objects(const TableState& table,
                                       const std::vector<std::size_t>& columns) {
    std::vector<nb::object> out(columns.size());
    if (table.bin) {
        const BinTableHdu& t = table.bin->layout();
        const Numpy np;
        std::vector<ColumnTarget> targets;
        std::vector<std::size_t> slots;  // where each target's array goes in `out`
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const BinColumn& c = t.columns.at(columns[k]);
            const ColumnForm form = bin_column_form(t, c);
            if (form != ColumnForm::Float64 && form != ColumnForm::Int) continue;
            // Both forms hold 8-byte elements.
            NewArray a =
                new_output_array(form == ColumnForm::Float64 ? "float64" : "int64", 8, t.n_rows);
            ColumnTarget target{&c, {}, {}, 0, {}};
            if (form == ColumnForm::Float64) {
                target.floats = array_span<double>(a.bytes.data(), t.n_rows);
            } else {
                target.ints = array_span<std::int64_t>(a.bytes.data(), t.n_rows);
            }
            targets.push_back(target);
            slots.push_back(k);
            out[k] = std::move(a.array);
        }
        decode_targets(table, targets);
        for (std::size_t j = 0; j < targets.size(); ++j) {
            nb::object& array = out[slots[j]];
            if (targets[j].n_nulls != 0) array = with_null_mask(np, table, targets[j], array);
            array = freeze_table_array(std::move(array));
        }
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (!out[k].is_valid()) out[k] = column_object(table, columns[k]);
    }
    return out;
}

nb::object row_value(const TableState& table, std::size_t column, std::uint64_t row) {
    ensure(row < table.n_rows, "row beyond the table");
    return row_object(column_rows(table, column, row, 1));
}

nb::object row_dict(const TableState& table, std::uint64_t row) {
    nb::dict out;
    if (table.bin) {
        // The table reader reads the row's bytes once, for every column.
        ensure(row < table.n_rows, "row beyond the table");
        const std::vector<DecodedColumn> values =
            unwrap(reader_call(table, [&] { return table.bin->row(row); }));
        for (std::size_t i = 0; i < table.column_names.size(); ++i)
            out[py_text(table.column_names[i])] = row_object(values.at(i));
        return out;
    }
    for (std::size_t i = 0; i < table.column_names.size(); ++i) {
        out[py_text(table.column_names[i])] = row_value(table, i, row);
    }
    return out;
}

nb::object record_array(const TableState& table) {
    const Numpy np;
    nb::list arrays;
    nb::list names;
    for (std::size_t i = 0; i < table.column_names.size(); ++i) {
        std::optional<DecodedColumn> holder;
        nb::object array = std::visit(
            Overloaded{
                [&](const Float64Values& c) { return array_of<double>(np, c.values); },
                [&](const IntValues& c) {
                    return masked_int_array<std::int64_t>(np, c.values, c.nulls);
                },
                [&](const Strings& c) { return np.module().attr("array")(strings_list(c)); },
                [&](const Logicals& c) {
                    // An undefined logical (2) reads false.
                    EmptyArray a = empty_array(np, "bool", c.values.size());
                    auto* out = static_cast<std::uint8_t*>(a.data);
                    for (std::size_t k = 0; k < c.values.size(); ++k)
                        out[k] = c.values[k] & 1;
                    return a.array;
                },
                [&](const PerRow& c) {
                    nb::object cells = np.empty(static_cast<std::size_t>(table.n_rows), "object");
                    const std::optional<Shape> shape = shape_of(c.tdim);
                    const Shape* s = shape ? &*shape : nullptr;
                    for (std::uint64_t k = 0; k < c.size(); ++k) {
                        nb::object entry = cell_entry(np, c.cell(k), s);
                        if (PyObject_SetItem(cells.ptr(), nb::int_(k).ptr(), entry.ptr()) != 0) {
                            throw nb::python_error();
                        }
                    }
                    return cells;
                },
            },
            whole_column(table, i, holder));
        arrays.append(array);
        names.append(py_text(table.column_names[i]));
    }
    nb::object records =
        np.module().attr("rec").attr("fromarrays")(arrays, nb::arg("names") = names);
    return freeze_table_array(std::move(records));
}

}  // namespace vexlo::py
