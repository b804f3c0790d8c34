// vexlo.BinTable and vexlo.AsciiTable: every cell decoded once when the object is built, then
// only read. Numeric scalar columns of a binary table are decoded column-wise straight into
// flat arrays; other columns keep one decoded value per row.
#include "python/tables.hpp"

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/table_state.hpp"
#include "util/debug.hpp"
#include "util/try.hpp"

namespace vexlo::py {

namespace {

// --- Decoding a binary table ----------------------------------------------------------------

// Room for `n` entries, or MemoryError when the count cannot be held (a row count that no
// byte of the file backs, for columns zero bytes wide).
template <class T>
void reserve_rows(std::vector<T>& v, std::uint64_t n) {
    try {
        v.reserve(static_cast<std::size_t>(n));
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

// The element type of a fixed-width numeric column with one element per row that decodes to
// a flat array (logical, signed integer, scaled integer, single or double); none otherwise.
std::optional<ColumnElement> scalar_element(const BinColumn& c) {
    if (c.format.repeat != 1) return std::nullopt;
    const Result<ColumnElement> element = BinTableHdu::column_element(c);
    if (!element) return std::nullopt;
    switch (*element) {
        case ColumnElement::Bool:
        case ColumnElement::I64:
        case ColumnElement::F64:
        case ColumnElement::F32:
            return *element;
        case ColumnElement::U64:
        case ColumnElement::C64:
        case ColumnElement::C128:
            break;
    }
    return std::nullopt;
}

// A scalar column's form with room for every row. Its row count is backed by the data,
// since each row holds at least one byte of the column.
DecodedColumn new_scalar_column(ColumnElement element, std::uint64_t n_rows) {
    const auto n = static_cast<std::size_t>(n_rows);
    switch (element) {
        case ColumnElement::Bool:
            return Logicals{std::vector<std::uint8_t>(n)};
        case ColumnElement::I64:
            return IntValues{std::vector<std::int64_t>(n), std::vector<std::uint8_t>(n)};
        default:
            return Float64Values{std::vector<double>(n)};
    }
}

// Buffers for the element types that need converting after the read.
struct Scratch {
    std::unique_ptr<bool[]> bools;
    std::vector<std::uint8_t> nulls;
    std::vector<float> singles;
};

// Rows [first, first + n) of a scalar column decoded into `out` (made by new_scalar_column);
// returns the number of nulls.
Result<std::uint64_t> read_scalar_rows(const BinTableHdu& t, const BinColumn& c, DecodedColumn& out,
                                       std::uint64_t first, std::size_t n, Scratch& scratch) {
    const auto at = static_cast<std::size_t>(first);
    if (auto* logicals = std::get_if<Logicals>(&out)) {
        if (scratch.nulls.size() < n) {
            scratch.bools.reset(new bool[n]);
            scratch.nulls.resize(n);
        }
        const std::span<std::uint8_t> nulls(scratch.nulls.data(), n);
        VEXLO_ASSIGN_OR_RETURN(
            const std::uint64_t count,
            t.read_column(c, first, n, std::span<bool>(scratch.bools.get(), n), nulls));
        for (std::size_t i = 0; i < n; ++i) {
            logicals->values[at + i] = nulls[i] != 0 ? 2 : (scratch.bools[i] ? 1 : 0);
        }
        return count;
    }
    if (auto* ints = std::get_if<IntValues>(&out)) {
        return t.read_column(c, first, n, std::span(ints->values).subspan(at, n),
                             std::span(ints->nulls).subspan(at, n));
    }
    auto& doubles = std::get<Float64Values>(out).values;
    if (c.format.kind != BinKind::F32) {
        return t.read_column(c, first, n, std::span(doubles).subspan(at, n), {});
    }
    if (scratch.singles.size() < n) scratch.singles.resize(n);
    const std::span<float> singles(scratch.singles.data(), n);
    VEXLO_TRY(t.read_column(c, first, n, singles, {}));
    std::copy(singles.begin(), singles.end(), doubles.begin() + static_cast<std::ptrdiff_t>(at));
    return std::uint64_t{0};
}

// An integer column without nulls keeps no null flags.
void drop_unused_nulls(DecodedColumn& column, std::uint64_t n_nulls) {
    if (auto* ints = std::get_if<IntValues>(&column); ints != nullptr && n_nulls == 0) {
        std::vector<std::uint8_t>().swap(ints->nulls);
    }
}

// Every row's decoded cell, row 0 first.
Result<PerRow> collect_column_cells(const BinTableHdu& t, const BinColumn& c) {
    PerRow out;
    out.tdim = c.tdim;
    reserve_rows(out.cells, t.n_rows);
    for (std::uint64_t r = 0; r < t.n_rows; ++r) {
        VEXLO_ASSIGN_OR_RETURN(BinValue v, t.read_cell(r, c));
        out.cells.push_back(std::move(v));
    }
    return out;
}

// The one element a scalar form keeps from a cell of row 0's variant; none when the cell has
// another variant or element count.
template <class V>
bool single_element(const BinValue& v) {
    const auto* x = std::get_if<V>(&v.value);
    return x != nullptr && x->values.size() == 1;
}

// The column form row 0's value selects: a scalar form when every row has row 0's variant
// with one element (a string for Str), else one value per row.
Result<DecodedColumn> decode_cell_by_cell(const BinTableHdu& t, const BinColumn& c) {
    VEXLO_ASSIGN_OR_RETURN(BinValue first, t.read_cell(0, c));
    // A field of width 0 reads alike in every row: it is kept once.
    if (c.width() == 0) {
        if (auto* text = std::get_if<BinValue::Str>(&first.value)) {
            return DecodedColumn(Strings{{std::move(text->value)}, t.n_rows});
        }
        return DecodedColumn(PerRow{{std::move(first)}, c.tdim, t.n_rows});
    }
    const BinValue::Kind kind = first.kind();
    const bool scalar = std::visit(
        [](const auto& x) {
            using V = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<V, BinValue::Str>) {
                return true;
            } else if constexpr (std::is_same_v<V, BinValue::Logical> ||
                                 std::is_same_v<V, BinValue::Int> ||
                                 std::is_same_v<V, BinValue::Float> ||
                                 std::is_same_v<V, BinValue::F32> ||
                                 std::is_same_v<V, BinValue::F64>) {
                return x.values.size() == 1;
            } else {
                return false;
            }
        },
        first.value);
    if (!scalar) return collect_column_cells(t, c);

    Float64Values floats;
    IntValues ints;
    Strings strings;
    Logicals logicals;
    for (std::uint64_t r = 0; r < t.n_rows; ++r) {
        BinValue v;
        if (r == 0) {
            v = std::move(first);
        } else {
            VEXLO_ASSIGN_OR_RETURN(v, t.read_cell(r, c));
        }
        if (v.kind() != kind) return collect_column_cells(t, c);
        switch (kind) {
            case BinValue::Kind::Str:
                strings.values.push_back(std::move(std::get<BinValue::Str>(v.value).value));
                break;
            case BinValue::Kind::Logical: {
                const auto& xs = std::get<BinValue::Logical>(v.value).values;
                if (xs.size() != 1) return collect_column_cells(t, c);
                logicals.values.push_back(xs[0] ? (*xs[0] ? 1 : 0) : 2);
                break;
            }
            case BinValue::Kind::Int: {
                const auto& xs = std::get<BinValue::Int>(v.value).values;
                if (xs.size() != 1) return collect_column_cells(t, c);
                if (!xs[0] && ints.nulls.empty()) ints.nulls.assign(ints.values.size(), 0);
                if (!ints.nulls.empty()) ints.nulls.push_back(xs[0] ? 0 : 1);
                ints.values.push_back(xs[0].value_or(0));
                break;
            }
            case BinValue::Kind::Float: {
                const auto& xs = std::get<BinValue::Float>(v.value).values;
                if (xs.size() != 1) return collect_column_cells(t, c);
                floats.values.push_back(xs[0]);
                break;
            }
            case BinValue::Kind::F32: {
                const auto& xs = std::get<BinValue::F32>(v.value).values;
                if (xs.size() != 1) return collect_column_cells(t, c);
                floats.values.push_back(static_cast<double>(xs[0]));
                break;
            }
            case BinValue::Kind::F64: {
                const auto& xs = std::get<BinValue::F64>(v.value).values;
                if (xs.size() != 1) return collect_column_cells(t, c);
                floats.values.push_back(xs[0]);
                break;
            }
            default:
                return collect_column_cells(t, c);
        }
    }
    switch (kind) {
        case BinValue::Kind::Str:
            return DecodedColumn(std::move(strings));
        case BinValue::Kind::Logical:
            return DecodedColumn(std::move(logicals));
        case BinValue::Kind::Int:
            return DecodedColumn(std::move(ints));
        default:
            return DecodedColumn(std::move(floats));
    }
}

// Rows per block of the scalar pass: a block's row bytes stay in cache while every scalar
// column reads its field from them.
constexpr std::uint64_t kBlockRows = 4096;

// Every scalar column decoded block by block; fills `out` at the scalar columns' positions.
Result<void> decode_scalar_blocks(const BinTableHdu& t,
                                  std::vector<std::optional<DecodedColumn>>& out) {
    std::vector<std::uint64_t> n_nulls(t.columns.size(), 0);
    bool any = false;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (const auto element = scalar_element(t.columns[i])) {
            out[i] = new_scalar_column(*element, t.n_rows);
            any = true;
        }
    }
    // Without a scalar column no byte need back the row count (columns of width 0), so the
    // blocks are not walked at all.
    if (!any) return {};
    Scratch scratch;
    for (std::uint64_t first = 0; first < t.n_rows; first += kBlockRows) {
        const auto n = static_cast<std::size_t>(std::min(kBlockRows, t.n_rows - first));
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            if (!out[i]) continue;
            VEXLO_ASSIGN_OR_RETURN(const std::uint64_t count,
                                   read_scalar_rows(t, t.columns[i], *out[i], first, n, scratch));
            n_nulls[i] += count;
        }
    }
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (out[i]) drop_unused_nulls(*out[i], n_nulls[i]);
    }
    return {};
}

// One column over all rows; the columns of a table decoded one after the other, so that the
// error reported is that of the first failing column.
Result<DecodedColumn> decode_bin_column(const BinTableHdu& t, const BinColumn& c) {
    const std::optional<ColumnElement> element = scalar_element(c);
    if (!element) return decode_cell_by_cell(t, c);
    DecodedColumn out = new_scalar_column(*element, t.n_rows);
    Scratch scratch;
    VEXLO_ASSIGN_OR_RETURN(
        const std::uint64_t n_nulls,
        read_scalar_rows(t, c, out, 0, static_cast<std::size_t>(t.n_rows), scratch));
    drop_unused_nulls(out, n_nulls);
    return out;
}

Result<void> decode_bin_columns(const BinTableHdu& t, TableState& state) {
    state.column_names.reserve(t.columns.size());
    state.columns.reserve(t.columns.size());
    for (const BinColumn& c : t.columns)
        state.column_names.push_back(c.name);
    if (t.n_rows == 0) {
        for (const BinColumn& c : t.columns)
            state.columns.push_back(PerRow{{}, c.tdim});
        return {};
    }
    std::vector<std::optional<DecodedColumn>> scalars(t.columns.size());
    if (!decode_scalar_blocks(t, scalars)) {
        // Some scalar column failed (a bad logical byte); decode column by column instead, so
        // that the error raised is that of the first failing column.
        for (const BinColumn& c : t.columns) {
            VEXLO_ASSIGN_OR_RETURN(DecodedColumn column, decode_bin_column(t, c));
            state.columns.push_back(std::move(column));
        }
        return {};
    }
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (scalars[i]) {
            state.columns.push_back(std::move(*scalars[i]));
        } else {
            VEXLO_ASSIGN_OR_RETURN(DecodedColumn column, decode_cell_by_cell(t, t.columns[i]));
            state.columns.push_back(std::move(column));
        }
    }
    return {};
}

// --- Decoding an ASCII table ----------------------------------------------------------------

Result<DecodedColumn> decode_ascii_column(const AsciiTableHdu& t, const AsciiColumn& c) {
    if (c.format.width == 0 && t.n_rows > 0) {
        // A field of width 0 reads alike in every row: its text is kept once.
        VEXLO_ASSIGN_OR_RETURN(std::optional<AsciiValue> v, t.read_cell(0, c));
        if (auto* text = v ? std::get_if<std::string>(&v->value) : nullptr) {
            return DecodedColumn(Strings{{std::move(*text)}, t.n_rows});
        }
    }
    std::vector<std::optional<AsciiValue>> cells;
    reserve_rows(cells, t.n_rows);
    bool any_text = false;
    for (std::uint64_t r = 0; r < t.n_rows; ++r) {
        VEXLO_ASSIGN_OR_RETURN(std::optional<AsciiValue> v, t.read_cell(r, c));
        any_text = any_text || (v && v->kind() == AsciiValue::Kind::Str);
        cells.push_back(std::move(v));
    }
    if (!any_text) {
        Float64Values out;
        out.values.reserve(cells.size());
        for (const std::optional<AsciiValue>& v : cells) {
            double x = std::numeric_limits<double>::quiet_NaN();
            if (v && v->kind() == AsciiValue::Kind::Int) {
                x = static_cast<double>(std::get<std::int64_t>(v->value));
            } else if (v && v->kind() == AsciiValue::Kind::Float) {
                x = std::get<double>(v->value);
            }
            out.values.push_back(x);
        }
        return DecodedColumn(std::move(out));
    }
    Strings out;
    out.values.reserve(cells.size());
    for (std::optional<AsciiValue>& v : cells) {
        // Only A fields are text, and they are never null.
        auto* text = v ? std::get_if<std::string>(&v->value) : nullptr;
        out.values.push_back(text != nullptr ? std::move(*text) : std::string());
    }
    return DecodedColumn(std::move(out));
}

Result<void> decode_ascii_columns(const AsciiTableHdu& t, TableState& state) {
    state.column_names.reserve(t.columns.size());
    state.columns.reserve(t.columns.size());
    for (const AsciiColumn& c : t.columns) {
        state.column_names.push_back(c.name);
        VEXLO_ASSIGN_OR_RETURN(DecodedColumn column, decode_ascii_column(t, c));
        state.columns.push_back(std::move(column));
    }
    return {};
}

// --- The Python classes ---------------------------------------------------------------------

struct BinTableObject {
    TableState state;
};

struct AsciiTableObject {
    TableState state;
};

template <class Obj>
const TableState& state_of(PyObject* self) {
    return self_state<Obj>(self).state;
}

std::string_view class_name(const TableState& table) {
    return table.kind == TableKind::Binary ? "BinTable" : "AsciiTable";
}

[[noreturn]] void raise_row_range(std::int64_t given, std::uint64_t n_rows) {
    raise(PyExc_IndexError, "row " + std::to_string(given) +
                                " out of range (n_rows = " + std::to_string(n_rows) + ")");
}

// A negative index counts from the end, once.
std::uint64_t normalize_row_index(const TableState& table, std::int64_t given) {
    const std::optional<std::uint64_t> at = wrap_index(given, table.n_rows);
    if (!at) raise_row_range(given, table.n_rows);
    return *at;
}

std::size_t column_index(const TableState& table, std::string_view name) {
    const std::ptrdiff_t at = find_column(table, name);
    if (at < 0) raise(PyExc_KeyError, "no column " + debug_str(name));
    return static_cast<std::size_t>(at);
}

nb::object column_by_name(const TableState& table, std::string_view name) {
    return column_object(table, column_index(table, name));
}

nb::object to_dict(const TableState& table) {
    nb::dict out;
    for (std::size_t i = 0; i < table.column_names.size(); ++i) {
        // A repeated name keeps the first column's array.
        if (static_cast<std::size_t>(find_column(table, table.column_names[i])) != i) continue;
        out[py_text(table.column_names[i])] = column_object(table, i);
    }
    return out;
}

nb::object names_list(const TableState& table) {
    nb::list out;
    for (const std::string& name : table.column_names)
        out.append(py_text(name));
    return out;
}

nb::object rows_of_slice(const TableState& table, PyObject* slice) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    if (PySlice_Unpack(slice, &start, &stop, &step) != 0) throw nb::python_error();
    const auto length = static_cast<Py_ssize_t>(
        std::min<std::uint64_t>(table.n_rows, static_cast<std::uint64_t>(PY_SSIZE_T_MAX)));
    const Py_ssize_t count = PySlice_AdjustIndices(length, &start, &stop, step);
    // The list is sized up front: a column-less table may claim rows no byte backs, and a
    // count that cannot be held fails here with MemoryError instead of growing until the
    // process is killed.
    nb::object out = nb::steal(PyList_New(count));
    if (!out.is_valid()) throw nb::python_error();
    for (Py_ssize_t k = 0; k < count; ++k) {
        nb::object row = row_dict(table, static_cast<std::uint64_t>(start + k * step));
        if (PyList_SetItem(out.ptr(), k, row.release().ptr()) != 0) throw nb::python_error();
    }
    return out;
}

nb::object subscript(const TableState& table, nb::handle key) {
    if (PyUnicode_Check(key.ptr())) return column_by_name(table, to_string(key));
    if (Py_IS_TYPE(key.ptr(), &PySlice_Type)) return rows_of_slice(table, key.ptr());
    std::optional<std::int64_t> index;
    try {
        index = to_i64(key);
    } catch (nb::python_error&) {
        // Not an index, or one beyond 64 bits: the key kind message below.
    }
    if (!index) {
        raise(PyExc_KeyError, std::string(class_name(table)) +
                                  " index must be a column name (str), a row index (int), or a "
                                  "slice");
    }
    return row_dict(table, normalize_row_index(table, *index));
}

// --- Protocol slots ---

template <class Obj>
PyObject* table_subscript(PyObject* self, PyObject* key) {
    PyObject* result = nullptr;
    guard_c([&] { result = subscript(state_of<Obj>(self), key).release().ptr(); });
    return result;
}

template <class Obj>
Py_ssize_t table_length(PyObject* self) {
    Py_ssize_t result = -1;
    guard_c([&] {
        const std::uint64_t n = state_of<Obj>(self).n_rows;
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            raise(PyExc_OverflowError, "row count does not fit a Python length");
        }
        result = static_cast<Py_ssize_t>(n);
    });
    return result;
}

template <class Obj>
int table_contains(PyObject* self, PyObject* name) {
    int result = -1;
    guard_c([&] {
        const TableState& table = state_of<Obj>(self);
        const std::string text = with_arg_name("name", [&] { return to_string(name); });
        result = find_column(table, text) >= 0 ? 1 : 0;
    });
    return result;
}

template <class Obj>
PyObject* table_iter(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        nb::object names = names_list(state_of<Obj>(self));
        result = PyObject_GetIter(names.ptr());
        if (result == nullptr) throw nb::python_error();
    });
    return result;
}

template <class Obj>
PyObject* table_repr_slot(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] { result = py_text(table_repr(state_of<Obj>(self))).release().ptr(); });
    return result;
}

template <class Obj>
PyType_Slot kTableSlots[6] = {
    {Py_mp_subscript, reinterpret_cast<void*>(table_subscript<Obj>)},
    {Py_mp_length, reinterpret_cast<void*>(table_length<Obj>)},
    {Py_sq_contains, reinterpret_cast<void*>(table_contains<Obj>)},
    {Py_tp_iter, reinterpret_cast<void*>(table_iter<Obj>)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr_slot<Obj>)},
    {0, nullptr},
};

// --- Methods ---

template <class Obj>
nb::object method_row(Obj& self, const Args& p) {
    const std::int64_t given = p.convert("r", to_i64);
    return row_dict(self.state, normalize_row_index(self.state, given));
}

template <class Obj>
nb::object method_column(Obj& self, const Args& p) {
    return column_by_name(self.state, p.convert("name", to_string));
}

template <class Obj>
nb::object method_to_dict(Obj& self, const Args&) {
    return to_dict(self.state);
}

constexpr char kRowDoc[] =
    "row($self, r)\n--\n\nThe dict of row ``r`` (negative counts from the end).";
constexpr char kColumnDoc[] =
    "column($self, name)\n--\n\nColumn accessor; equivalent to ``table[name]``.";
constexpr char kToDictDoc[] = "to_dict($self)\n--\n\nEvery column, keyed by column name.";

constexpr auto kBinRowSig = signature("BinTable.row()", required("r"));
constexpr auto kBinColumnSig = signature("BinTable.column()", required("name"));
constexpr auto kBinToDictSig = signature("BinTable.to_dict()");
constexpr MethodDef<BinTableObject> kBinRow{"row", kBinRowSig, kRowDoc, method_row<BinTableObject>};
constexpr MethodDef<BinTableObject> kBinColumn{"column", kBinColumnSig, kColumnDoc,
                                               method_column<BinTableObject>};
constexpr MethodDef<BinTableObject> kBinToDict{"to_dict", kBinToDictSig, kToDictDoc,
                                               method_to_dict<BinTableObject>};

constexpr auto kAsciiRowSig = signature("AsciiTable.row()", required("r"));
constexpr auto kAsciiColumnSig = signature("AsciiTable.column()", required("name"));
constexpr auto kAsciiToDictSig = signature("AsciiTable.to_dict()");
constexpr MethodDef<AsciiTableObject> kAsciiRow{"row", kAsciiRowSig, kRowDoc,
                                                method_row<AsciiTableObject>};
constexpr MethodDef<AsciiTableObject> kAsciiColumn{"column", kAsciiColumnSig, kColumnDoc,
                                                   method_column<AsciiTableObject>};
constexpr MethodDef<AsciiTableObject> kAsciiToDict{"to_dict", kAsciiToDictSig, kToDictDoc,
                                                   method_to_dict<AsciiTableObject>};

// --- Properties ---

template <class Obj>
void add_members(nb::handle cls, const char* data_doc) {
    add_property<Obj>(
        cls, "header", [](const Obj& o) { return make_header_object(o.state.header); },
        "The HDU header.");
    add_property<Obj>(
        cls, "n_rows", [](const Obj& o) { return nb::object(nb::int_(o.state.n_rows)); },
        "Number of rows in the table.");
    add_property<Obj>(
        cls, "column_names", [](const Obj& o) { return names_list(o.state); },
        "List of column names in declaration order.");
    add_property<Obj>(
        cls, "data", [](const Obj& o) { return record_array(o.state); }, data_doc);
}

constexpr char kBinTableDoc[] =
    "Binary table HDU (``BINTABLE``).\n\n"
    "Every cell is decoded when the HDU is read. ``table[name]`` gives a column (a read-only\n"
    "NumPy array for scalar numeric columns, a list otherwise), ``table[i]`` a row dict and\n"
    "``table[a:b]`` a list of row dicts; iterating yields the column names.";

constexpr char kAsciiTableDoc[] =
    "ASCII ``TABLE`` HDU.\n\n"
    "Numeric columns read as read-only float64 arrays (NaN for nulls), character columns as\n"
    "lists of the field texts; otherwise used like :class:`BinTable`.";

nb::object make_bintable_class(nb::module_& m) {
    return bound_class<BinTableObject>([&] {
        auto cls = nb::class_<BinTableObject>(m, "BinTable", kBinTableDoc, nb::is_final(),
                                              nb::type_slots(kTableSlots<BinTableObject>));
        add_method<BinTableObject, kBinRow>(cls);
        add_method<BinTableObject, kBinColumn>(cls);
        add_method<BinTableObject, kBinToDict>(cls);
        add_members<BinTableObject>(cls,
                                    "Pre-decoded columns assembled into one numpy structured\n"
                                    "array, one record per row.");
        return cls;
    });
}

nb::object make_ascii_table_class(nb::module_& m) {
    return bound_class<AsciiTableObject>([&] {
        auto cls = nb::class_<AsciiTableObject>(m, "AsciiTable", kAsciiTableDoc, nb::is_final(),
                                                nb::type_slots(kTableSlots<AsciiTableObject>));
        add_method<AsciiTableObject, kAsciiRow>(cls);
        add_method<AsciiTableObject, kAsciiColumn>(cls);
        add_method<AsciiTableObject, kAsciiToDict>(cls);
        add_members<AsciiTableObject>(
            cls,
            "Every column assembled into one numpy structured array, one\n"
            "record per row.");
        return cls;
    });
}

const Registration kBinTableRegistration{"BinTable", make_bintable_class};
const Registration kAsciiTableRegistration{"AsciiTable", make_ascii_table_class};

template <class Obj>
nb::object new_table_object(TableState&& state) {
    return nb::cast(Obj{std::move(state)}, nb::rv_policy::move);
}

template <class Obj>
const TableState* state_if(nb::handle obj) {
    if (!nb::isinstance<Obj>(obj) || !nb::inst_ready(obj)) return nullptr;
    return &nb::inst_ptr<Obj>(obj)->state;
}

}  // namespace

nb::object make_bintable(BinTableHdu&& hdu, PyHeader header) {
    TableState state;
    state.kind = TableKind::Binary;
    // Decoding reads only the record and fills only `state`, both local to this call.
    unwrap(without_gil([&] { return decode_bin_columns(hdu, state); }));
    state.n_rows = hdu.n_rows;
    state.header = std::move(header);
    state.raw_data = std::move(hdu).into_parts().data;
    return new_table_object<BinTableObject>(std::move(state));
}

nb::object make_ascii_table(AsciiTableHdu&& hdu, PyHeader header) {
    TableState state;
    state.kind = TableKind::Ascii;
    unwrap(without_gil([&] { return decode_ascii_columns(hdu, state); }));
    state.n_rows = hdu.n_rows;
    state.header = std::move(header);
    state.raw_data = std::move(hdu).into_parts().data;
    return new_table_object<AsciiTableObject>(std::move(state));
}

namespace {

TableState state_from_builder(TableKind kind, OwnedHdu&& hdu) {
    TableState state;
    state.kind = kind;
    state.header = PyHeader::from_header(std::move(hdu.header), false);
    state.raw_data = std::move(hdu.data);
    return state;
}

}  // namespace

nb::object bintable_from_builder(OwnedHdu&& hdu) {
    return new_table_object<BinTableObject>(state_from_builder(TableKind::Binary, std::move(hdu)));
}

nb::object ascii_table_from_builder(OwnedHdu&& hdu) {
    return new_table_object<AsciiTableObject>(state_from_builder(TableKind::Ascii, std::move(hdu)));
}

std::optional<TableInfo> table_info(nb::handle obj) {
    const TableState* state = state_if<BinTableObject>(obj);
    if (state == nullptr) state = state_if<AsciiTableObject>(obj);
    if (state == nullptr) return std::nullopt;
    return TableInfo{state->kind, state->n_rows, state->column_names.size(), &state->header,
                     state->raw_data};
}

void attach_table_flags(nb::handle obj, std::shared_ptr<DirtyFlags> flags) {
    if (nb::isinstance<BinTableObject>(obj) && nb::inst_ready(obj)) {
        nb::inst_ptr<BinTableObject>(obj)->state.header.modified = std::move(flags);
    } else if (nb::isinstance<AsciiTableObject>(obj) && nb::inst_ready(obj)) {
        nb::inst_ptr<AsciiTableObject>(obj)->state.header.modified = std::move(flags);
    }
}

OwnedHdu table_snapshot(const TableInfo& table) {
    ensure(table.header != nullptr, "table snapshot without a header");
    return OwnedHdu{table.header->snapshot(), Bytes(table.raw_data.begin(), table.raw_data.end())};
}

}  // namespace vexlo::py
