// ascii_table(): a dict of columns to a finished ASCII TABLE HDU. Each column is text,
// integer or real; its format is given or chosen here, and the ASCII-table builder renders
// the cells and writes the header.
#include <Python.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hdu/ascii_table.hpp"
#include "hdu/builders.hpp"
#include "python/args.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/module.hpp"
#include "util/debug.hpp"

namespace vexlo::py {

namespace {

using Kind = AsciiFormat::Kind;
using Texts = std::vector<std::string>;
using Integers = std::vector<std::optional<std::int64_t>>;
using Reals = std::vector<double>;

// Text: every item a str or None (None is the empty text).
std::optional<Texts> text_values(nb::handle value, std::size_t n) {
    Texts out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object item = sequence_item(value, i);
        if (!item.is_valid()) return std::nullopt;
        if (item.is_none()) {
            out.emplace_back();
        } else if (PyUnicode_Check(item.ptr())) {
            out.push_back(str_bytes(item));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Integer: every item None (undefined) or an integer of the signed 64-bit range through the
// index protocol (so not a float).
std::optional<Integers> integer_values(nb::handle value, std::size_t n) {
    Integers out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object item = sequence_item(value, i);
        if (!item.is_valid()) return std::nullopt;
        if (item.is_none()) {
            out.emplace_back();
            continue;
        }
        const nb::object index = nb::steal(PyNumber_Index(item.ptr()));
        if (!index.is_valid()) {
            drop_ordinary_error();
            return std::nullopt;
        }
        const long long v = PyLong_AsLongLong(index.ptr());
        if (v == -1 && PyErr_Occurred()) {
            drop_ordinary_error();
            return std::nullopt;
        }
        out.emplace_back(v);
    }
    return out;
}

// Real: every item converts through float().
std::optional<Reals> real_values(nb::handle value, std::size_t n) {
    Reals out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const nb::object item = sequence_item(value, i);
        if (!item.is_valid()) return std::nullopt;
        const double v = PyFloat_AsDouble(item.ptr());
        if (v == -1.0 && PyErr_Occurred()) {
            drop_ordinary_error();
            return std::nullopt;
        }
        out.push_back(v);
    }
    return out;
}

AsciiColumnValues column_values(nb::handle value, const std::string& name) {
    if (const std::optional<std::size_t> n = sequence_length(value)) {
        if (std::optional<Texts> t = text_values(value, *n)) return std::move(*t);
        if (std::optional<Integers> i = integer_values(value, *n)) return std::move(*i);
        if (std::optional<Reals> r = real_values(value, *n)) return std::move(*r);
    }
    raise(PyExc_TypeError, "ascii_table column " + debug_str(name) +
                               ": unsupported value type (use list[str], list[int|None], or "
                               "list[float])");
}

// A format as messages show it: A(12), I(6), F(10, 3).
std::string format_shown(const AsciiFormat& f) {
    static constexpr char kLetters[] = {'A', 'I', 'F', 'E', 'D'};
    std::string out(1, kLetters[static_cast<std::size_t>(f.kind)]);
    out += "(" + std::to_string(f.width);
    if (f.kind != Kind::A && f.kind != Kind::I) out += ", " + std::to_string(f.decimals);
    return out + ")";
}

// Whether the column came as an array of single-precision floats (a NumPy float32 array):
// nine significant digits then hold every value exactly.
bool single_precision_source(nb::handle value) {
    nb::object dtype = nb::steal(PyObject_GetAttrString(value.ptr(), "dtype"));
    if (!dtype.is_valid()) {
        PyErr_Clear();
        return false;
    }
    nb::object kind = nb::steal(PyObject_GetAttrString(dtype.ptr(), "kind"));
    nb::object itemsize = nb::steal(PyObject_GetAttrString(dtype.ptr(), "itemsize"));
    if (!kind.is_valid() || !itemsize.is_valid()) {
        PyErr_Clear();
        return false;
    }
    const int is_float = PyObject_RichCompareBool(kind.ptr(), nb::str("f").ptr(), Py_EQ);
    const long size = PyLong_Check(itemsize.ptr()) ? PyLong_AsLong(itemsize.ptr()) : -1;
    if (is_float < 0 || PyErr_Occurred()) PyErr_Clear();
    return is_float == 1 && size == 4;
}

// The format chosen when none is given. The null text of a numeric column must fit the
// field too: a default too narrow for it is widened to hold it after one blank. Reals get
// enough digits to read back bit for bit: 18 significant digits for doubles (D25.17), 9 for
// single-precision sources (E16.8).
AsciiFormat default_format(const AsciiColumnValues& values, const std::optional<std::string>& tnull,
                           bool single_precision) {
    if (const auto* texts = std::get_if<Texts>(&values)) {
        std::size_t w = 1;
        for (const std::string& s : *texts)
            w = std::max(w, s.size());
        return AsciiFormat{Kind::A, w, 0};
    }
    const std::size_t null_width = tnull ? tnull->size() : 0;
    if (const auto* ints = std::get_if<Integers>(&values)) {
        std::size_t longest = 0;
        for (const std::optional<std::int64_t>& v : *ints) {
            if (v) longest = std::max(longest, std::to_string(*v).size());
        }
        // A leading blank keeps neighbouring fields apart; a column of no values gets I2.
        std::size_t w = longest == 0 ? 2 : longest + 1;
        if (null_width > w) w = null_width + 1;
        return AsciiFormat{Kind::I, w, 0};
    }
    const AsciiFormat real =
        single_precision ? AsciiFormat{Kind::E, 16, 8} : AsciiFormat{Kind::D, 25, 17};
    return AsciiFormat{real.kind, null_width >= real.width ? null_width + 1 : real.width,
                       real.decimals};
}

// The given format, checked against the values' kind.
AsciiFormat given_format(const std::string& text, const AsciiColumnValues& values,
                         const std::string& name) {
    const AsciiFormat f = unwrap(AsciiFormat::parse(text));
    const char* needs = nullptr;
    if (std::holds_alternative<Texts>(values)) {
        if (f.kind != Kind::A) needs = "string data needs an A format";
    } else if (std::holds_alternative<Integers>(values)) {
        if (f.kind != Kind::I) needs = "integer data needs an I format";
    } else if (f.kind != Kind::F && f.kind != Kind::E && f.kind != Kind::D) {
        needs = "float data needs an F/E/D format";
    }
    if (needs != nullptr) {
        raise(PyExc_TypeError, "ascii_table column " + debug_str(name) + ": " + needs + " (got " +
                                   format_shown(f) + ")");
    }
    return f;
}

constexpr auto kColumns = required<nb::dict>("columns", dict_argument);
constexpr auto kFormats = or_none<nb::dict>("formats", optional_dict_argument);
constexpr auto kTnulls = or_none<nb::dict>("tnulls", optional_dict_argument);
constexpr auto kUnits = or_none<nb::dict>("units", optional_dict_argument);
constexpr auto kExtname = or_none<std::string>("extname");

nb::object py_ascii_table(const Args& p) {
    const nb::dict columns = p.get(kColumns);
    const std::optional<nb::dict> formats = p.get(kFormats);
    const std::optional<nb::dict> tnulls = p.get(kTnulls);
    const std::optional<nb::dict> units = p.get(kUnits);
    const std::optional<std::string> extname = p.get(kExtname);

    AsciiTableBuilder builder;
    builder.extname = extname;

    // A snapshot of the pairs: conversions below may run Python code that edits the dict.
    const nb::object items = nb::steal(PyDict_Items(columns.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t n_columns = NB_LIST_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n_columns; ++i) {
        const nb::handle pair = NB_LIST_GET_ITEM(items.ptr(), i);
        const nb::handle key = NB_TUPLE_GET_ITEM(pair.ptr(), 0);
        const nb::handle value = NB_TUPLE_GET_ITEM(pair.ptr(), 1);
        std::string name = to_string(key);

        const std::optional<std::string> format_text = option_text(formats, key);
        std::optional<std::string> unit = option_text(units, key);
        std::optional<std::string> tnull = option_text(tnulls, key);

        AsciiColumnValues values = column_values(value, name);
        if (const auto* texts = std::get_if<Texts>(&values)) {
            if (std::optional<std::string> message = non_ascii_cell_refusal(*texts)) {
                raise(PyExc_ValueError, std::move(*message));
            }
        }
        const AsciiFormat format =
            format_text ? given_format(*format_text, values, name)
                        : default_format(values, tnull, single_precision_source(value));

        unwrap(builder.add_column(std::move(name), format, std::move(values)));
        if (unit) unwrap(builder.unit(std::move(*unit)));
        if (tnull) unwrap(builder.tnull(std::move(*tnull)));
    }

    AsciiTableHdu hdu = unwrap(std::move(builder).build());
    return make_ascii_table_builder(std::move(hdu).into_parts());
}

constexpr auto kAsciiTableSig =
    signature("ascii_table()", kColumns, kFormats, kTnulls, kUnits, kExtname);
constexpr auto kAsciiTableDoc = function_doc<kAsciiTableSig>(
    "Build an ASCII ``TABLE`` HDU from a column dictionary.\n\n"
    "Each value is a list of str (None for an empty field), of int (None for an undefined\n"
    "field, which needs a ``tnulls`` entry) or of float (NaN undefined). ``formats`` maps\n"
    "names to TFORM texts (Aw, Iw, Fw.d, Ew.d, Dw.d); by default text columns are as wide as\n"
    "their longest string, integers one wider than their longest value and reals D25.17\n"
    "(E16.8 for a float32 array), enough digits to read back exactly.");
constexpr FunctionDef kAsciiTable{kAsciiTableDoc, py_ascii_table};
const Registration kAsciiTableRegistration{
    "ascii_table", [](nb::module_& m) { return make_function<kAsciiTable>(m); }};

}  // namespace

}  // namespace vexlo::py
