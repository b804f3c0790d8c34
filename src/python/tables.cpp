// vexlo.BinTable and vexlo.AsciiTable. A binary table is checked when the object is built and
// its columns decoded when asked for; an ASCII table is decoded when the object is built.
#include "python/tables.hpp"

#include <Python.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
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

// --- The data a table keeps ----------------------------------------------------------------

// A table read from a file keeps the file's data section (its cache or its contents) by
// sharing the file rather than copying the bytes; any other borrowed data is copied.
void keep_data(DataBuf& data, std::shared_ptr<const FitsFile> source, TableState& state) {
    if (data.is_owned()) return;
    if (source != nullptr) {
        state.source = std::move(source);
    } else {
        data = DataBuf::owned(std::move(data).into_bytes());
    }
}

// What every table read from a file starts from: its kind, column names, row count and
// header handle.
template <class TableHdu>
TableState file_table_state(TableKind kind, const TableHdu& hdu, PyHeader header) {
    TableState state;
    state.kind = kind;
    state.column_names.reserve(hdu.columns.size());
    for (const auto& c : hdu.columns)
        state.column_names.push_back(c.name);
    state.n_rows = hdu.n_rows;
    state.header = std::move(header);
    return state;
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
    // A repeated name keeps the first column's array.
    std::vector<std::size_t> firsts;
    for (std::size_t i = 0; i < table.column_names.size(); ++i) {
        if (static_cast<std::size_t>(find_column(table, table.column_names[i])) == i) {
            firsts.push_back(i);
        }
    }
    const std::vector<nb::object> columns = column_objects(table, firsts);
    nb::dict out;
    for (std::size_t k = 0; k < firsts.size(); ++k)
        out[py_text(table.column_names[firsts[k]])] = columns[k];
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

// The handles both table classes' methods share.
constexpr auto kRow = required<std::int64_t>("r");
constexpr auto kColumnName = required<std::string>("name");

template <class Obj>
nb::object method_row(Obj& self, const Args& p) {
    const std::int64_t given = p.get(kRow);
    return row_dict(self.state, normalize_row_index(self.state, given));
}

template <class Obj>
nb::object method_column(Obj& self, const Args& p) {
    return column_by_name(self.state, p.get(kColumnName));
}

template <class Obj>
nb::object method_to_dict(Obj& self, const Args&) {
    return to_dict(self.state);
}

// Both table classes describe their methods alike.
constexpr char kRowText[] = "The dict of row ``r`` (negative counts from the end).";
constexpr char kColumnText[] = "Column accessor; equivalent to ``table[name]``.";
constexpr char kToDictText[] = "Every column, keyed by column name.";

constexpr auto kBinRowSig = signature("BinTable.row()", kRow);
constexpr auto kBinColumnSig = signature("BinTable.column()", kColumnName);
constexpr auto kBinToDictSig = signature("BinTable.to_dict()");
constexpr auto kBinRowDoc = method_doc<kBinRowSig>(kRowText);
constexpr auto kBinColumnDoc = method_doc<kBinColumnSig>(kColumnText);
constexpr auto kBinToDictDoc = method_doc<kBinToDictSig>(kToDictText);
constexpr MethodDef<BinTableObject> kBinRow{kBinRowDoc, method_row<BinTableObject>};
constexpr MethodDef<BinTableObject> kBinColumn{kBinColumnDoc, method_column<BinTableObject>};
constexpr MethodDef<BinTableObject> kBinToDict{kBinToDictDoc, method_to_dict<BinTableObject>};

constexpr auto kAsciiRowSig = signature("AsciiTable.row()", kRow);
constexpr auto kAsciiColumnSig = signature("AsciiTable.column()", kColumnName);
constexpr auto kAsciiToDictSig = signature("AsciiTable.to_dict()");
constexpr auto kAsciiRowDoc = method_doc<kAsciiRowSig>(kRowText);
constexpr auto kAsciiColumnDoc = method_doc<kAsciiColumnSig>(kColumnText);
constexpr auto kAsciiToDictDoc = method_doc<kAsciiToDictSig>(kToDictText);
constexpr MethodDef<AsciiTableObject> kAsciiRow{kAsciiRowDoc, method_row<AsciiTableObject>};
constexpr MethodDef<AsciiTableObject> kAsciiColumn{kAsciiColumnDoc,
                                                   method_column<AsciiTableObject>};
constexpr MethodDef<AsciiTableObject> kAsciiToDict{kAsciiToDictDoc,
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
    "Every cell is checked when the HDU is read and decoded when asked for. ``table[name]``\n"
    "gives a column (a read-only NumPy array for scalar numeric columns, a list otherwise),\n"
    "``table[i]`` a row dict and ``table[a:b]`` a list of row dicts; iterating yields the\n"
    "column names.";

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

nb::object make_bintable(BinTableHdu&& hdu, PyHeader header,
                         std::shared_ptr<const FitsFile> source) {
    TableReader reader = unwrap(
        without_gil([&] { return TableReader::of_record(std::move(hdu), std::move(source)); }));
    TableState state = file_table_state(TableKind::Binary, reader.layout(), std::move(header));
    state.bin = std::move(reader);
    return new_table_object<BinTableObject>(std::move(state));
}

nb::object make_unread_bintable(BinTableHdu&& layout, PyHeader header,
                                std::shared_ptr<const FitsFile> source, std::size_t index) {
    TableState state = file_table_state(TableKind::Binary, layout, std::move(header));
    state.bin = unwrap(TableReader::of_unread(std::move(layout), std::move(source), index));
    return new_table_object<BinTableObject>(std::move(state));
}

const BinTableHdu& bin_record(const TableState& table) {
    ensure(table.bin.has_value(), "binary table record missing");
    return *unwrap(reader_call(table, [&] { return table.bin->record(); }));
}

ByteSpan table_data(const TableState& table) {
    if (table.bin) return unwrap(reader_call(table, [&] { return table.bin->data(); }));
    return table.ascii ? table.ascii->data.span() : table.raw_data.span();
}

nb::object make_ascii_table(AsciiTableHdu&& hdu, PyHeader header,
                            std::shared_ptr<const FitsFile> source) {
    TableState state = file_table_state(TableKind::Ascii, hdu, std::move(header));
    state.columns = unwrap(without_gil([&] { return decode_ascii_columns(hdu); }));
    keep_data(hdu.data, std::move(source), state);
    state.ascii = std::move(hdu);
    return new_table_object<AsciiTableObject>(std::move(state));
}

namespace {

TableState state_from_builder(TableKind kind, OwnedHdu&& hdu) {
    TableState state;
    state.kind = kind;
    state.header = PyHeader::from_header(std::move(hdu.header), false);
    state.raw_data = DataBuf::owned(std::move(hdu.data));
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
    return TableInfo{state->kind, state->n_rows, state->column_names.size(), &state->header, state};
}

void attach_table_session(nb::handle obj, std::shared_ptr<FileSession> session) {
    if (nb::isinstance<BinTableObject>(obj) && nb::inst_ready(obj)) {
        nb::inst_ptr<BinTableObject>(obj)->state.header.session = std::move(session);
    } else if (nb::isinstance<AsciiTableObject>(obj) && nb::inst_ready(obj)) {
        nb::inst_ptr<AsciiTableObject>(obj)->state.header.session = std::move(session);
    }
}

OwnedHdu table_snapshot(const TableInfo& table) {
    ensure(table.header != nullptr && table.state != nullptr, "table snapshot without a header");
    const ByteSpan data = table_data(*table.state);
    return OwnedHdu{table.header->snapshot(), Bytes(data.begin(), data.end())};
}

}  // namespace vexlo::py
