// vexlo.Header and its helpers: the shared header handle, value conversion, the commentary view,
// the key iterator and the header text forms.
//
// Locking discipline: a header's mutex is held only around work on the core Header. Python
// arguments are converted before it is taken, no Python object is created or dropped while it
// is held, and results become Python objects after it is released. Errors found under the lock
// are carried out of it as plain values and raised afterwards.
#include "python/header.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "header/card.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"

namespace vexlo::py {

// --- Shared record and handle ---------------------------------------------------------------

std::unique_lock<std::mutex> lock_header(SharedHeader& record) {
    return lock_mutex(record.mutex);
}

PyHeader PyHeader::from_header(const Header& header, bool read_only,
                               std::shared_ptr<DirtyFlags> modified) {
    return PyHeader{std::make_shared<SharedHeader>(header), std::move(modified), read_only};
}

PyHeader PyHeader::from_header(Header&& header, bool read_only,
                               std::shared_ptr<DirtyFlags> modified) {
    return PyHeader{std::make_shared<SharedHeader>(std::move(header)), std::move(modified),
                    read_only};
}

PyHeader PyHeader::new_empty() {
    return PyHeader{std::make_shared<SharedHeader>(), nullptr, false};
}

PyHeader PyHeader::share(nb::handle obj) {
    const PyHeader* handle = header_handle(obj);
    if (handle == nullptr) raise_required_instance(obj, "Header");
    return *handle;
}

namespace {
constexpr std::string_view kReadOnlyMessage =
    "header is read-only; reopen the file with `mode='update'` to enable mutations";
}

void PyHeader::begin_mutation() const {
    if (read_only) raise(PyExc_ValueError, std::string(kReadOnlyMessage));
    if (modified) modified->modified.store(true);
}

Header PyHeader::snapshot() const {
    auto lock = lock_header(*record);
    return record->header;
}

namespace {

// --- Python object states -------------------------------------------------------------------

// Who is using a Header object right now: readers share it, an editor holds it alone. A clash
// is only possible through Python code that runs inside a call on the same object (a value
// conversion, a mapping's items()) or from another thread while one waits for the lock.
class SharedUse {
  public:
    explicit SharedUse(HeaderObject& obj) : obj_(obj) {
        if (obj_.borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++obj_.borrow;
    }
    ~SharedUse() { --obj_.borrow; }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

  private:
    HeaderObject& obj_;
};

class ExclusiveUse {
  public:
    explicit ExclusiveUse(HeaderObject& obj) : obj_(obj) {
        if (obj_.borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        obj_.borrow = -1;
    }
    ~ExclusiveUse() { obj_.borrow = 0; }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    HeaderObject& obj_;
};

struct CommentaryObject {
    std::vector<std::string> texts;
};

struct KeyIterObject {
    std::vector<std::string> keys;
    std::size_t pos = 0;
};

// --- Small Python helpers -------------------------------------------------------------------

nb::str to_py_str(std::string_view text) {
    // Card text is ASCII or UTF-8 decoded from Latin-1; "replace" only guards odd bytes.
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::object optional_text(const std::optional<std::string>& text) {
    return text ? nb::object(to_py_str(*text)) : nb::none();
}

// KeyError carrying `key` (a Python object, normally the key as the caller passed it).
[[noreturn]] void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_key_error(std::string_view key) {
    raise_key_error(to_py_str(key));
}

// Python's complex, and other complex scalars (NumPy's complex64 is no subclass of complex but
// has __complex__). Neither int nor float defines __complex__.
// A complex, a subclass of it, or a NumPy complex scalar. Real numbers also offer
// __complex__ (Fraction, Decimal, 0-d arrays) and are not complex values.
bool is_complex(nb::handle obj) {
    return PyComplex_Check(obj.ptr()) ||
           is_numpy_type(Py_TYPE(obj.ptr()), {"complex64", "complex128", "complex256",
                                              "clongdouble", "csingle", "cdouble"});
}

// An array of one or more dimensions (a NumPy array or anything shaped like one): a header
// value is one number, never the first element of an array.
bool is_shaped_array(nb::handle obj) {
    nb::object ndim = nb::steal(PyObject_GetAttrString(obj.ptr(), "ndim"));
    if (!ndim.is_valid()) {
        PyErr_Clear();
        return false;
    }
    if (!PyLong_Check(ndim.ptr())) return false;
    const long n = PyLong_AsLong(ndim.ptr());
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n > 0;
}

std::optional<std::int64_t> try_i64(nb::handle obj) {
    PyObject* index = PyNumber_Index(obj.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(v);
}

std::optional<double> try_f64(nb::handle obj) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

std::optional<std::string> try_utf8(nb::handle obj) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// The real or imaginary part of a complex number as a double; errors raised as they are.
double complex_part(nb::handle obj, const char* name) {
    nb::object part = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!part.is_valid()) throw nb::python_error();
    return to_f64(part);
}

// Whole and inside [-2^63, 2^63): representable as a signed 64-bit integer.
bool fits_i64(double v) {
    return v - std::trunc(v) == 0.0 && v >= -9223372036854775808.0 && v < 9223372036854775808.0;
}

Value complex_value(nb::handle obj) {
    const double re = complex_part(obj, "real");
    const double im = complex_part(obj, "imag");
    if (fits_i64(re) && fits_i64(im)) {
        return Value::make_complex_integer(static_cast<std::int64_t>(re),
                                           static_cast<std::int64_t>(im));
    }
    return Value::make_complex_real(re, im);
}

[[noreturn]] void raise_unconvertible(nb::handle obj) {
    nb::object name = nb::steal(PyType_GetName(Py_TYPE(obj.ptr())));
    if (!name.is_valid()) throw nb::python_error();
    std::string text = "cannot convert ";
    text += try_utf8(name).value_or("?");
    text += " into a FITS header value";
    raise(PyExc_TypeError, std::move(text));
}

}  // namespace

// --- Value conversion -----------------------------------------------------------------------

Value value_from_py(nb::handle obj) {
    PyObject* o = obj.ptr();
    // The exact built-in types first; everything else walks the conversions in order.
    if (PyBool_Check(o)) return Value::make_logical(o == Py_True);
    if (PyLong_CheckExact(o)) {
        if (auto v = try_i64(obj)) return Value::make_integer(*v);
        if (auto v = try_f64(obj)) return Value::make_real(*v);
        raise_unconvertible(obj);
    }
    if (PyFloat_CheckExact(o)) return Value::make_real(PyFloat_AsDouble(o));
    if (PyUnicode_CheckExact(o)) {
        if (auto s = try_utf8(obj)) return Value::make_string(std::move(*s));
        raise_unconvertible(obj);
    }
    if (o == Py_None) return Value::make_undefined();

    if (is_shaped_array(obj)) raise_unconvertible(obj);
    if (is_numpy_bool(Py_TYPE(obj.ptr()))) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) throw nb::python_error();
        return Value::make_logical(truth != 0);
    }
    if (PyIndex_Check(o)) {
        if (auto v = try_i64(obj)) return Value::make_integer(*v);
    }
    // Complex numbers before the float conversion: a NumPy complex scalar converts to float
    // too, silently dropping its imaginary part.
    if (is_complex(obj)) return complex_value(obj);
    if (auto v = try_f64(obj)) return Value::make_real(*v);
    if (PyUnicode_Check(o)) {
        if (auto s = try_utf8(obj)) return Value::make_string(std::move(*s));
    }
    raise_unconvertible(obj);
}

nb::object value_to_py(const Value& value) {
    switch (value.kind) {
        case Value::Kind::Logical:
            return nb::bool_(value.logical);
        case Value::Kind::Integer:
            return nb::steal(PyLong_FromLongLong(value.integer));
        case Value::Kind::Real:
            // An identifier wider than 64 bits comes back as the exact int it was written as.
            if (const std::string_view literal = value.integer_literal(); !literal.empty()) {
                const std::string digits(literal);
                return nb::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
            }
            return nb::float_(value.real);
        case Value::Kind::ComplexInteger:
            return nb::steal(PyComplex_FromDoubles(static_cast<double>(value.integer),
                                                   static_cast<double>(value.integer_im)));
        case Value::Kind::ComplexReal:
            return nb::steal(PyComplex_FromDoubles(value.real, value.real_im));
        case Value::Kind::String:
        case Value::Kind::Unparsed:
            return to_py_str(value.text);
        case Value::Kind::Undefined:
            return nb::none();
    }
    return nb::none();
}

ValueComment value_comment_from_py(nb::handle obj) {
    if (PyTuple_Check(obj.ptr()) && PyTuple_Size(obj.ptr()) == 2) {
        nb::handle item0 = PyTuple_GetItem(obj.ptr(), 0);
        nb::handle item1 = PyTuple_GetItem(obj.ptr(), 1);
        ValueComment out{value_from_py(item0), std::nullopt};
        if (!item1.is_none()) out.comment = to_string(item1);
        return out;
    }
    return ValueComment{value_from_py(obj), std::nullopt};
}

std::string uppercase_keyword(std::string_view keyword) {
    return ascii_upper(keyword);
}

bool is_structural_keyword(std::string_view keyword) {
    static constexpr std::array<std::string_view, 9> kFixed = {
        "END", "SIMPLE", "BITPIX", "EXTEND", "PCOUNT", "GCOUNT", "GROUPS", "XTENSION", "NAXIS",
    };
    const std::string_view k = trim_ws(keyword);
    if (std::find(kFixed.begin(), kFixed.end(), k) != kFixed.end()) return true;
    if (!k.starts_with("NAXIS")) return false;
    const std::string_view digits = k.substr(5);
    return !digits.empty() && digits.size() <= 3 &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// --- Handles and Python objects -------------------------------------------------------------

nb::object make_header_object(PyHeader handle) {
    return nb::cast(HeaderObject{std::move(handle), 0}, nb::rv_policy::move);
}

const PyHeader* header_handle(nb::handle obj) {
    if (!obj.is_valid() || !nb::isinstance<HeaderObject>(obj) || !nb::inst_ready(obj)) {
        return nullptr;
    }
    return &nb::inst_ptr<HeaderObject>(obj)->handle;
}

namespace {

// A Header object that the call in progress does not hold exclusively.
HeaderObject* readable_header(nb::handle obj) {
    if (!nb::isinstance<HeaderObject>(obj) || !nb::inst_ready(obj)) return nullptr;
    HeaderObject* h = nb::inst_ptr<HeaderObject>(obj);
    return h->borrow < 0 ? nullptr : h;
}

// obj.items(), or TypeError `message` when that call fails in any way.
nb::object call_items(nb::handle obj, const char* message) {
    PyObject* items = PyObject_CallMethod(obj.ptr(), "items", nullptr);
    if (items == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, message);
    }
    return nb::steal(items);
}

struct KeyedValue {
    std::string key;  // upper-cased
    ValueComment vc;
};

// Runs `each(KeyedValue)` on every item of `items`: item[0] a str key, item[1] a value or a
// (value, comment) pair.
template <class F>
void for_each_item(nb::handle items, F&& each) {
    nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (true) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        // Subscripted with int keys, not through the sequence protocol: an item that only
        // has mapping-style __getitem__ (a dict {0: key, 1: value}) is accepted too.
        nb::object key = item[nb::int_(0)];
        nb::object value = item[nb::int_(1)];
        KeyedValue kv{uppercase_keyword(to_string(key)), value_comment_from_py(value)};
        each(std::move(kv));
    }
}

}  // namespace

Header header_from_py(nb::handle obj) {
    if (HeaderObject* other = readable_header(obj)) return other->handle.snapshot();
    Header header;
    nb::object items = call_items(obj, "header must be a Header or a mapping with .items()");
    for_each_item(items,
                  [&](KeyedValue kv) { unwrap(header.set(kv.key, kv.vc.value, kv.vc.comment)); });
    return header;
}

namespace {

// Merges another header or a mapping into `target` with set semantics.
void update_from(SharedHeader& target, nb::handle other) {
    if (HeaderObject* source = readable_header(other)) {
        std::vector<CardEntry> entries;
        {
            auto lock = lock_header(*source->handle.record);
            entries = source->handle.record->header.entries();
        }
        std::optional<Error> failure;
        {
            auto lock = lock_header(target);
            for (const CardEntry& e : entries) {
                auto done = target.header.set(e.keyword, e.value, e.comment);
                if (!done) {
                    failure = std::move(done).error();
                    break;
                }
            }
        }
        if (failure) to_fits_error(*failure);
        return;
    }
    nb::object items =
        call_items(other, "header.update: argument must be a Header or a mapping with .items()");
    for_each_item(items, [&](KeyedValue kv) {
        Result<bool> done;
        {
            auto lock = lock_header(target);
            done = target.header.set(kv.key, kv.vc.value, kv.vc.comment);
        }
        if (!done) to_fits_error(done.error());
    });
}

bool is_end_card(std::string_view card, bool lenient) {
    const std::string_view name = card.substr(0, 3);
    const bool end = lenient ? ascii_upper(name) == "END" : name == "END";
    return end && card.substr(3, 5) == "     ";
}

}  // namespace

PyHeader header_from_text(std::string_view bytes, bool lenient) {
    std::string text(bytes);
    text.resize((text.size() + kCardLen - 1) / kCardLen * kCardLen, ' ');
    bool has_end = false;
    for (std::size_t pos = 0; pos < text.size() && !has_end; pos += kCardLen) {
        has_end = is_end_card(std::string_view(text).substr(pos, kCardLen), lenient);
    }
    if (!has_end) {
        text += "END";
        text.resize(text.size() + kCardLen - 3, ' ');
    }
    text.resize(static_cast<std::size_t>(padded_len(text.size())), ' ');
    auto parsed = unwrap(Header::parse(as_bytes(text), 0, lenient));
    return PyHeader::from_header(std::move(parsed.first), false);
}

std::string render_header_text(SharedHeader& record) {
    auto lock = lock_header(record);
    const Bytes bytes = record.header.to_bytes();
    std::string out;
    for (std::size_t pos = 0; pos + kCardLen <= bytes.size(); pos += kCardLen) {
        std::string line = utf8_lossy(as_chars(ByteSpan(bytes).subspan(pos, kCardLen)));
        const std::string_view trimmed = trim_ws_end(line);
        if (trimmed.empty() || trimmed == "END") continue;
        while (!line.empty() && line.back() == '\0')
            line.pop_back();
        if (!out.empty()) out += '\n';
        out += line;
    }
    return out;
}

namespace {

// --- Header text and bytes ------------------------------------------------------------------

// Where the first invalid UTF-8 sequence of `bytes` starts and how long it is (0 when the
// bytes end inside a sequence); nothing when all of it is valid.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};

std::optional<Utf8Fault> find_utf8_fault(ByteSpan b) {
    auto cont = [](std::uint8_t c) { return (c & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < b.size()) {
        const std::uint8_t first = b[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        std::size_t width = 0;
        std::uint8_t lo = 0x80;
        std::uint8_t hi = 0xBF;
        if (first >= 0xC2 && first <= 0xDF) {
            width = 2;
        } else if (first >= 0xE0 && first <= 0xEF) {
            width = 3;
            if (first == 0xE0) lo = 0xA0;
            if (first == 0xED) hi = 0x9F;
        } else if (first >= 0xF0 && first <= 0xF4) {
            width = 4;
            if (first == 0xF0) lo = 0x90;
            if (first == 0xF4) hi = 0x8F;
        } else {
            return Utf8Fault{i, 1};
        }
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k >= b.size()) return Utf8Fault{i, 0};
            const std::uint8_t c = b[i + k];
            const bool ok = k == 1 ? (c >= lo && c <= hi) : cont(c);
            if (!ok) return Utf8Fault{i, k};
        }
        i += width;
    }
    return std::nullopt;
}

std::string utf8_fault_text(const Utf8Fault& f) {
    if (f.length == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(f.index);
    }
    return "invalid utf-8 sequence of " + std::to_string(f.length) + " bytes from index " +
           std::to_string(f.index);
}

// --- Method plumbing ------------------------------------------------------------------------

using MethodDef = py::MethodDef<HeaderObject>;
using StaticBody = nb::object (*)(const Args& args);

// A static method: like a method, without the instance.
struct StaticDef {
    const char* name;
    SignatureView sig;
    const char* doc;
    StaticBody body;
};

template <const StaticDef& Def>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard_c([&] {
        const Args parsed = parse_args(Def.sig, args, static_cast<std::size_t>(nargs), kwnames);
        result = Def.body(parsed).release().ptr();
    });
    return result;
}

template <const StaticDef& Def>
void add_static(nb::handle cls, nb::handle module_name) {
    static PyMethodDef method = {
        Def.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<Def>)),
        METH_FASTCALL | METH_KEYWORDS, Def.doc};
    nb::object function = nb::steal(PyCFunction_NewEx(&method, nullptr, module_name.ptr()));
    if (!function.is_valid()) throw nb::python_error();
    nb::handle staticmethod = PyDict_GetItemString(PyEval_GetBuiltins(), "staticmethod");
    ensure(staticmethod.is_valid(), "builtins.staticmethod is missing");
    nb::setattr(cls, Def.name, staticmethod(function));
}

// Outcome of a locked step: done, a library error, or a KeyError for a key.
struct KeyMissing {
    std::string key;  // as it goes into the KeyError
};
using Outcome = std::variant<std::monostate, Error, KeyMissing>;

void raise_outcome(Outcome&& outcome) {
    if (auto* e = std::get_if<Error>(&outcome)) to_fits_error(*e);
    if (auto* k = std::get_if<KeyMissing>(&outcome)) raise_key_error(k->key);
}

template <class T>
Outcome outcome_of(Result<T>&& r) {
    if (!r) return Outcome(std::move(r).error());
    return Outcome();
}

// Inserts a card before or after the first card named `anchor`; an absent anchor is a
// KeyError, not an append.
Outcome insert_at_anchor(Header& h, const std::string& anchor, bool after, std::string_view key,
                         const Value& value, const std::optional<std::string>& comment) {
    if (!h.contains(anchor)) return KeyMissing{anchor};
    return after ? outcome_of(h.insert_after(anchor, key, value, comment))
                 : outcome_of(h.insert_before(anchor, key, value, comment));
}

// --- Reading members ------------------------------------------------------------------------

std::string key_arg(const Args& p, std::string_view name = "key") {
    return p.convert(name, to_string);
}

ByteSpan first_image(const CardView& view) {
    return view.bytes.first(std::min(view.bytes.size(), kCardLen));
}

bool is_commentary_image(ByteSpan image) {
    const CardKind kind = card_kind(image, true);
    return kind == CardKind::Commentary || kind == CardKind::Continue;
}

nb::object card_value_to_py(const std::optional<Value>& value) {
    return value ? value_to_py(*value) : nb::none();
}

constexpr auto kGetSig = signature("Header.get()", required("key"), optional("default"));
nb::object header_get(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = uppercase_keyword(key_arg(p));
    std::optional<Value> value;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        if (auto view = r.header.get(key)) value = view->value();
    }
    if (!value) {
        nb::handle fallback = p.get_opt("default");
        return fallback.is_valid() ? nb::borrow(fallback) : nb::none();
    }
    return value_to_py(*value);
}
constexpr MethodDef kGet{"get", kGetSig,
                         "get($self, key, default=None)\n--\n\n"
                         "Value of the first value card named `key` (case-insensitive), or\n"
                         "`default` when there is none. Commentary cards never match.",
                         header_get};

constexpr auto kKeysSig = signature("Header.keys()");
nb::object header_keys(HeaderObject& self, const Args&) {
    SharedUse use(self);
    std::vector<std::string> keys;
    {
        auto lock = lock_header(*self.handle.record);
        keys = self.handle.record->header.keywords();
    }
    nb::list out;
    for (const std::string& k : keys)
        out.append(to_py_str(k));
    return out;
}
constexpr MethodDef kKeys{"keys", kKeysSig,
                          "keys($self)\n--\n\n"
                          "Keyword of every card in order, repeats and commentary included.",
                          header_keys};

constexpr auto kItemsSig = signature("Header.items()");
nb::object header_items(HeaderObject& self, const Args&) {
    SharedUse use(self);
    std::vector<std::pair<std::string, std::optional<Value>>> rows;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        const std::size_t n = r.header.len();
        rows.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const CardView view = r.header.view_at(i);
            rows.emplace_back(card_keyword(first_image(view), true), view.value());
        }
    }
    nb::list out;
    for (const auto& [key, value] : rows) {
        out.append(nb::make_tuple(to_py_str(key), card_value_to_py(value)));
    }
    return out;
}
constexpr MethodDef kItems{"items", kItemsSig,
                           "items($self)\n--\n\n"
                           "(keyword, value) of every card in order; None for commentary.",
                           header_items};

constexpr auto kCardsSig = signature("Header.cards()", required("key"));
nb::object header_cards(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = uppercase_keyword(key_arg(p));
    struct Row {
        bool commentary;
        std::optional<std::string> text;  // commentary text
        std::optional<Value> value;
        std::optional<std::string> comment;
    };
    std::vector<Row> rows;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        for (const CardView& view : r.header.get_all(key)) {
            if (is_commentary_image(first_image(view))) {
                rows.push_back(
                    {true, view.commentary_text().value_or(""), std::nullopt, std::nullopt});
            } else if (auto vc = view.value_and_comment()) {
                rows.push_back({false, std::nullopt, std::move(vc->value), std::move(vc->comment)});
            } else {
                rows.push_back({false, std::nullopt, std::nullopt, std::nullopt});
            }
        }
    }
    nb::list out;
    for (const Row& row : rows) {
        nb::object value = row.commentary ? optional_text(row.text) : card_value_to_py(row.value);
        out.append(nb::make_tuple(value, optional_text(row.comment)));
    }
    return out;
}
constexpr MethodDef kCards{"cards", kCardsSig,
                           "cards($self, key)\n--\n\n"
                           "(value, comment) of every card named `key`, commentary included.",
                           header_cards};

bool ascii_iequal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ascii_upper(a) == ascii_upper(b);
}

constexpr auto kCommentSig = signature("Header.comment()", required("key"));
nb::object header_comment(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = key_arg(p);
    std::optional<std::string> comment;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        const std::size_t n = r.header.len();
        for (std::size_t i = 0; i < n; ++i) {
            const CardView view = r.header.view_at(i);
            if (!ascii_iequal(card_keyword(first_image(view), true), key)) continue;
            if (!is_commentary_image(first_image(view))) comment = view.comment();
            break;
        }
    }
    return optional_text(comment);
}
constexpr MethodDef kComment{"comment", kCommentSig,
                             "comment($self, key)\n--\n\n"
                             "Inline comment of the first card named `key`, or None.",
                             header_comment};

constexpr auto kToDictSig = signature("Header.to_dict()");
nb::object header_to_dict(HeaderObject& self, const Args&) {
    SharedUse use(self);
    std::vector<std::pair<std::string, Value>> rows;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        const std::size_t n = r.header.len();
        for (std::size_t i = 0; i < n; ++i) {
            const CardView view = r.header.view_at(i);
            if (auto value = view.value()) {
                rows.emplace_back(card_keyword(first_image(view), true), std::move(*value));
            }
        }
    }
    nb::dict out;
    for (const auto& [key, value] : rows)
        out[to_py_str(key)] = value_to_py(value);
    return out;
}
constexpr MethodDef kToDict{"to_dict", kToDictSig,
                            "to_dict($self)\n--\n\n"
                            "Keyword to value for every value card; a repeated keyword keeps\n"
                            "its last value.",
                            header_to_dict};

Bytes serialised(HeaderObject& self) {
    auto lock = lock_header(*self.handle.record);
    return self.handle.record->header.to_bytes();
}

constexpr auto kToStringSig = signature("Header.tostring()");
nb::object header_tostring(HeaderObject& self, const Args&) {
    SharedUse use(self);
    const Bytes bytes = serialised(self);
    if (auto fault = find_utf8_fault(bytes)) {
        raise(PyExc_ValueError, "non-ASCII header bytes: " + utf8_fault_text(*fault));
    }
    return to_py_str(as_chars(bytes));
}
constexpr MethodDef kToString{"tostring", kToStringSig,
                              "tostring($self)\n--\n\n"
                              "The serialised header (cards, END, blank fill to 2880-byte\n"
                              "blocks) as text.",
                              header_tostring};

constexpr auto kBytesSig = signature("Header.__bytes__()");
nb::object header_bytes(HeaderObject& self, const Args&) {
    SharedUse use(self);
    const Bytes bytes = serialised(self);
    return nb::bytes(bytes.data(), bytes.size());
}
constexpr MethodDef kBytes{"__bytes__", kBytesSig,
                           "__bytes__($self)\n--\n\n"
                           "The serialised header (cards, END, blank fill to 2880-byte\n"
                           "blocks).",
                           header_bytes};

nb::object from_text_arg(const Args& p, std::string text) {
    const bool lenient = p.flag("lenient", true);
    return make_header_object(header_from_text(text, lenient));
}

constexpr auto kFromStringSig =
    signature("Header.fromstring()", required("data"), keyword_only("lenient"));
nb::object header_fromstring(const Args& p) {
    std::string text = p.convert("data", to_string);
    return from_text_arg(p, std::move(text));
}
constexpr StaticDef kFromString{"fromstring", kFromStringSig,
                                "fromstring(data, *, lenient=True)\n--\n\n"
                                "Parse header text; padded to whole cards and given an END card\n"
                                "when it has none.",
                                header_fromstring};

std::string bytes_arg(nb::handle obj) {
    if (!PyBytes_Check(obj.ptr())) raise_not_instance(obj, "bytes");
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &size) != 0) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

constexpr auto kFromBytesSig =
    signature("Header.frombytes()", required("data"), keyword_only("lenient"));
nb::object header_frombytes(const Args& p) {
    std::string text = p.convert("data", bytes_arg);
    return from_text_arg(p, std::move(text));
}
constexpr StaticDef kFromBytes{"frombytes", kFromBytesSig,
                               "frombytes(data, *, lenient=True)\n--\n\n"
                               "Parse header bytes; padded to whole cards and given an END card\n"
                               "when they have none.",
                               header_frombytes};

// --- Editing members ------------------------------------------------------------------------

[[noreturn]] void raise_structural(std::string_view format_before, std::string_view key,
                                   std::string_view format_after) {
    std::string text(format_before);
    text += debug_str(key);
    text += format_after;
    raise(PyExc_ValueError, std::move(text));
}

constexpr auto kSetSig =
    signature("Header.set()", required("keyword"), optional("value"), optional("comment"),
              keyword_only("before"), keyword_only("after"));
nb::object header_set(HeaderObject& self, const Args& p) {
    ExclusiveUse use(self);
    const std::string keyword = p.convert("keyword", to_string);
    const auto comment = p.convert_opt("comment", to_string);
    const auto before = p.convert_opt("before", to_string);
    const auto after = p.convert_opt("after", to_string);
    self.handle.begin_mutation();

    if (before && after) {
        raise(PyExc_ValueError, "Header.set: 'before' and 'after' are mutually exclusive");
    }
    const std::string key = uppercase_keyword(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("Header.set: ", keyword, " is a structural card managed by the writer");
    }
    std::optional<Value> value;
    if (nb::handle v = p.get_opt("value"); v.is_valid()) value = value_from_py(v);
    const std::optional<std::string> anchor = after ? after : before;
    const std::string anchor_key = anchor ? uppercase_keyword(*anchor) : std::string();

    Outcome outcome;
    {
        Header& h = self.handle.record->header;
        auto lock = lock_header(*self.handle.record);
        if (value && !anchor) {
            // Existing keyword or not, this is a plain set: it replaces the first value card
            // of the key or appends one. Skipping the existence test (a scan of every card
            // when the key is new) keeps building a header with set() linear.
            outcome = outcome_of(h.set(key, *value, comment));
        } else if (h.contains(key)) {
            if (!value) {
                // Only the comment changes: the card is rewritten with its own value.
                if (auto view = h.get(key)) value = view->value();
            }
            if (value) {
                outcome = outcome_of(h.set(key, *value, comment));
            } else {
                outcome = KeyMissing{keyword};
            }
        } else {
            const Value v = value ? *value : Value::make_undefined();
            if (!anchor) {
                outcome = outcome_of(h.push_card(key, v, comment));
            } else {
                outcome = insert_at_anchor(h, anchor_key, after.has_value(), key, v, comment);
            }
        }
    }
    raise_outcome(std::move(outcome));
    return nb::none();
}
constexpr MethodDef kSet{
    "set", kSetSig,
    "set($self, keyword, value=None, comment=None, *, before=None, after=None)\n--\n\n"
    "Set the first card named `keyword`, or add it (before or after an anchor card\n"
    "when one is named). Without a value only the comment of an existing card changes.",
    header_set};

constexpr auto kInsertSig =
    signature("Header.insert()", required("position"), required("keyword"), optional("value"),
              optional("comment"), keyword_only("after"));
nb::object header_insert(HeaderObject& self, const Args& p) {
    ExclusiveUse use(self);
    const std::string keyword = p.convert("keyword", to_string);
    const auto comment = p.convert_opt("comment", to_string);
    const bool after = p.flag("after", false);
    self.handle.begin_mutation();

    const std::string key = uppercase_keyword(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("Header.insert: ", keyword, " is a structural card managed by the writer");
    }
    nb::handle v = p.get_opt("value");
    const Value value = v.is_valid() ? value_from_py(v) : Value::make_undefined();

    nb::handle position = p.get("position");
    std::optional<std::uint64_t> index;
    std::string anchor;
    {
        PyObject* as_index = PyNumber_Index(position.ptr());
        if (as_index != nullptr) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(as_index);
            Py_DECREF(as_index);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) index = u;
        }
        PyErr_Clear();
    }
    if (!index) {
        if (!PyUnicode_Check(position.ptr())) {
            raise(PyExc_TypeError, "Header.insert: position must be int or str");
        }
        anchor = uppercase_keyword(to_string(position));
    }

    Outcome outcome;
    {
        Header& h = self.handle.record->header;
        auto lock = lock_header(*self.handle.record);
        if (index) {
            const auto at = static_cast<std::size_t>(
                std::min<std::uint64_t>(*index, std::numeric_limits<std::size_t>::max()));
            outcome = outcome_of(h.insert(at, key, value, comment));
        } else {
            outcome = insert_at_anchor(h, anchor, after, key, value, comment);
        }
    }
    raise_outcome(std::move(outcome));
    return nb::none();
}
constexpr MethodDef kInsert{
    "insert", kInsertSig,
    "insert($self, position, keyword, value=None, comment=None, *, after=False)\n--\n\n"
    "Insert a new card before the card at index `position`, or before (after) the first\n"
    "card named `position`. An existing card of the same keyword is kept.",
    header_insert};

constexpr auto kUpdateSig = signature("Header.update()", required("other"));
nb::object header_update(HeaderObject& self, const Args& p) {
    ExclusiveUse use(self);
    nb::handle other = p.get("other");
    self.handle.begin_mutation();
    update_from(*self.handle.record, other);
    return nb::none();
}
constexpr MethodDef kUpdate{"update", kUpdateSig,
                            "update($self, other)\n--\n\n"
                            "Set every value card of another Header, or every item of a\n"
                            "mapping, in order. Commentary cards are not copied.",
                            header_update};

constexpr auto kAddCommentarySig =
    signature("Header.add_commentary()", required("kind"), required("text"));
nb::object header_add_commentary(HeaderObject& self, const Args& p) {
    ExclusiveUse use(self);
    const std::string kind_text = p.convert("kind", to_string);
    const std::string text = p.convert("text", to_string);
    self.handle.begin_mutation();

    CommentaryKind kind = CommentaryKind::Blank;
    if (!kind_text.empty()) {
        const std::string upper = uppercase_keyword(kind_text);
        if (upper == "COMMENT") {
            kind = CommentaryKind::Comment;
        } else if (upper == "HISTORY") {
            kind = CommentaryKind::History;
        } else {
            raise(PyExc_TypeError, "commentary kind must be 'COMMENT', 'HISTORY', or '' (got " +
                                       debug_str(upper) + ")");
        }
    }
    Outcome outcome;
    {
        auto lock = lock_header(*self.handle.record);
        outcome = outcome_of(self.handle.record->header.add_commentary(kind, text));
    }
    raise_outcome(std::move(outcome));
    return nb::none();
}
constexpr MethodDef kAddCommentary{"add_commentary", kAddCommentarySig,
                                   "add_commentary($self, kind, text)\n--\n\n"
                                   "Append COMMENT, HISTORY or blank-keyword ('') cards holding\n"
                                   "`text`, 72 characters per card.",
                                   header_add_commentary};

constexpr auto kRenameSig =
    signature("Header.rename_keyword()", required("oldname"), required("newname"));
nb::object header_rename_keyword(HeaderObject& self, const Args& p) {
    ExclusiveUse use(self);
    const std::string oldname = p.convert("oldname", to_string);
    const std::string newname = p.convert("newname", to_string);
    self.handle.begin_mutation();

    const std::string old_key = uppercase_keyword(oldname);
    const std::string new_key = uppercase_keyword(newname);
    if (is_structural_keyword(old_key) || is_structural_keyword(new_key)) {
        raise(PyExc_ValueError, "Header.rename_keyword: cannot rename a structural card");
    }
    Outcome outcome;
    {
        auto lock = lock_header(*self.handle.record);
        auto renamed = self.handle.record->header.rename_keyword(old_key, new_key);
        if (!renamed) {
            outcome = std::move(renamed).error();
        } else if (*renamed == 0) {
            outcome = KeyMissing{oldname};
        }
    }
    raise_outcome(std::move(outcome));
    return nb::none();
}
constexpr MethodDef kRename{"rename_keyword", kRenameSig,
                            "rename_keyword($self, oldname, newname)\n--\n\n"
                            "Rename every value card named `oldname`, keeping values and\n"
                            "comments.",
                            header_rename_keyword};

// --- Protocol slots -------------------------------------------------------------------------

// header[key] for a str key.
nb::object subscript_key(HeaderObject& self, nb::handle key_obj) {
    const std::string key = uppercase_keyword(to_string(key_obj));
    SharedHeader& r = *self.handle.record;
    if (key.empty() || key == "COMMENT" || key == "HISTORY") {
        std::vector<std::string> texts;
        {
            auto lock = lock_header(r);
            for (const CardView& view : r.header.get_all(key)) {
                texts.push_back(view.commentary_text().value_or(std::string()));
            }
        }
        if (texts.empty()) raise_key_error(key_obj);
        return nb::cast(CommentaryObject{std::move(texts)}, nb::rv_policy::move);
    }
    bool found = false;
    std::optional<Value> value;
    {
        auto lock = lock_header(r);
        const Layout& layout = r.header.layout();
        auto it = layout.occurrences.find(r.header.stored_keyword(key));
        if (it != layout.occurrences.end()) {
            found = true;
            value = r.header.view_at(it->second.front()).value();
        }
    }
    if (!found) raise_key_error(key_obj);
    return card_value_to_py(value);
}

// header[(key, n)].
nb::object subscript_pair(HeaderObject& self, nb::handle pair) {
    nb::handle key_obj = PyTuple_GetItem(pair.ptr(), 0);
    nb::handle n_obj = PyTuple_GetItem(pair.ptr(), 1);
    const std::string keyword = to_string(key_obj);
    const std::int64_t n = to_i64(n_obj);
    const std::string key = uppercase_keyword(keyword);

    std::size_t count = 0;
    bool found = false;
    bool commentary = false;
    std::optional<std::string> text;
    std::optional<Value> value;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        const std::vector<CardView> views = r.header.get_all(key);
        count = views.size();
        const std::int64_t at = n < 0 ? n + static_cast<std::int64_t>(count) : n;
        if (at >= 0 && static_cast<std::uint64_t>(at) < count) {
            const CardView& view = views[static_cast<std::size_t>(at)];
            found = true;
            commentary = view.is_commentary();
            if (commentary) {
                text = view.commentary_text().value_or(std::string());
            } else {
                value = view.value();
            }
        }
    }
    if (count == 0) raise_key_error(key_obj);
    if (!found) {
        raise(PyExc_KeyError, keyword + "[" + std::to_string(n) + "]: only " +
                                  std::to_string(count) + " occurrence(s) present");
    }
    return commentary ? optional_text(text) : card_value_to_py(value);
}

PyObject* header_subscript(PyObject* self, PyObject* key) {
    PyObject* result = nullptr;
    guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        SharedUse use(obj);
        nb::object out = PyTuple_Check(key) && PyTuple_Size(key) == 2 ? subscript_pair(obj, key)
                                                                      : subscript_key(obj, key);
        result = out.release().ptr();
    });
    return result;
}

void set_item(HeaderObject& self, nb::handle key_obj, nb::handle value_obj) {
    ExclusiveUse use(self);
    const std::string keyword = with_arg_name("key", [&] { return to_string(key_obj); });
    self.handle.begin_mutation();
    const std::string key = uppercase_keyword(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("header[", keyword,
                         "] is a structural card managed by the writer; it is recomputed from "
                         "the data array on writeto. Use `hdu.data = new_array.astype(...)` to "
                         "change BITPIX/NAXIS.");
    }
    const ValueComment vc = value_comment_from_py(value_obj);
    Outcome outcome;
    {
        auto lock = lock_header(*self.handle.record);
        outcome = outcome_of(self.handle.record->header.set(key, vc.value, vc.comment));
    }
    raise_outcome(std::move(outcome));
}

void delete_item(HeaderObject& self, nb::handle key_obj) {
    ExclusiveUse use(self);
    const std::string keyword = with_arg_name("key", [&] { return to_string(key_obj); });
    self.handle.begin_mutation();
    const std::string key = uppercase_keyword(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("header[", keyword,
                         "] is a structural card and cannot be deleted; it is recomputed from "
                         "the data array on writeto.");
    }
    std::size_t removed = 0;
    {
        auto lock = lock_header(*self.handle.record);
        removed = self.handle.record->header.remove(key);
    }
    if (removed == 0) raise_key_error(key_obj);
}

int header_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    const bool ok = guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        if (value == nullptr) {
            delete_item(obj, key);
        } else {
            set_item(obj, key, value);
        }
    });
    return ok ? 0 : -1;
}

Py_ssize_t header_length(PyObject* self) {
    Py_ssize_t result = -1;
    guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        SharedUse use(obj);
        auto lock = lock_header(*obj.handle.record);
        result = static_cast<Py_ssize_t>(obj.handle.record->header.len());
    });
    return result;
}

int header_contains(PyObject* self, PyObject* key) {
    int result = -1;
    guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        SharedUse use(obj);
        const std::string k =
            uppercase_keyword(with_arg_name("key", [&] { return to_string(key); }));
        auto lock = lock_header(*obj.handle.record);
        result = obj.handle.record->header.contains(k) ? 1 : 0;
    });
    return result;
}

PyObject* header_iter(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        SharedUse use(obj);
        std::vector<std::string> keys;
        {
            auto lock = lock_header(*obj.handle.record);
            keys = obj.handle.record->header.keywords();
        }
        result = nb::cast(KeyIterObject{std::move(keys), 0}, nb::rv_policy::move).release().ptr();
    });
    return result;
}

PyObject* header_str(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        HeaderObject& obj = self_state<HeaderObject>(self);
        SharedUse use(obj);
        const std::string text = render_header_text(*obj.handle.record);
        result = to_py_str(text).release().ptr();
    });
    return result;
}

PyType_Slot kHeaderSlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(header_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(header_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(header_length)},
    {Py_sq_contains, reinterpret_cast<void*>(header_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(header_iter)},
    {Py_tp_str, reinterpret_cast<void*>(header_str)},
    {Py_tp_repr, reinterpret_cast<void*>(header_str)},
    {0, nullptr},
};

// --- HeaderCommentary and HeaderKeyIter -----------------------------------------------------

Py_ssize_t commentary_length(PyObject* self) {
    Py_ssize_t result = -1;
    guard_c(
        [&] { result = static_cast<Py_ssize_t>(self_state<CommentaryObject>(self).texts.size()); });
    return result;
}

PyObject* commentary_subscript(PyObject* self, PyObject* idx) {
    PyObject* result = nullptr;
    guard_c([&] {
        const std::vector<std::string>& texts = self_state<CommentaryObject>(self).texts;
        const std::int64_t given = with_arg_name("idx", [&] { return to_i64(idx); });
        const auto len = static_cast<std::int64_t>(texts.size());
        const std::int64_t at = given < 0 ? given + len : given;
        if (at < 0 || at >= len) {
            raise(PyExc_KeyError, "index " + std::to_string(at) +
                                      " out of range (len=" + std::to_string(len) + ")");
        }
        result = to_py_str(texts[static_cast<std::size_t>(at)]).release().ptr();
    });
    return result;
}

PyObject* commentary_iter(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        nb::list list;
        for (const std::string& t : self_state<CommentaryObject>(self).texts)
            list.append(to_py_str(t));
        result = PyObject_GetIter(list.ptr());
        if (result == nullptr) throw nb::python_error();
    });
    return result;
}

PyObject* commentary_str(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        std::string joined;
        const std::vector<std::string>& texts = self_state<CommentaryObject>(self).texts;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i != 0) joined += '\n';
            joined += texts[i];
        }
        result = to_py_str(joined).release().ptr();
    });
    return result;
}

PyType_Slot kCommentarySlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(commentary_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(commentary_length)},
    {Py_tp_iter, reinterpret_cast<void*>(commentary_iter)},
    {Py_tp_str, reinterpret_cast<void*>(commentary_str)},
    {Py_tp_repr, reinterpret_cast<void*>(commentary_str)},
    {0, nullptr},
};

PyObject* key_iter_self(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* key_iter_next(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        KeyIterObject& it = self_state<KeyIterObject>(self);
        if (it.pos >= it.keys.size()) return;  // exhausted: NULL without an error
        result = to_py_str(it.keys[it.pos]).release().ptr();
        ++it.pos;
    });
    return result;
}

PyType_Slot kKeyIterSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(key_iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(key_iter_next)},
    {0, nullptr},
};

// --- Registration ---------------------------------------------------------------------------

constexpr auto kNewSig = signature("Header.__new__()", optional("mapping"));

const char* const kHeaderDoc =
    "Header(mapping=None)\n--\n\n"
    "Dict-like view of a FITS header.\n\n"
    "Keys are keywords, matched without regard to ASCII letter case. header[key] gives the\n"
    "value of the first card with that keyword, header[(key, n)] the n-th, and\n"
    "header['COMMENT'], header['HISTORY'] and header[''] a HeaderCommentary of every card of\n"
    "that kind. Headers of files opened read-only refuse every edit.";

void make_key_iter_class(nb::module_& m) {
    bound_class<KeyIterObject>([&] {
        nb::object cls = nb::class_<KeyIterObject>(
            m, "HeaderKeyIter", "Iterator over keyword strings, returned by ``iter(header)``.",
            nb::is_final(), nb::type_slots(kKeyIterSlots));
        // Reached only through iter(header): not a module attribute, and no module name.
        // Without the module holding it, the class needs a reference of its own that lives
        // for the process (nanobind's registry holds none).
        nb::delattr(m, "HeaderKeyIter");
        nb::setattr(cls, "__module__", nb::str("builtins"));
        // Under the limited API the type's C name keeps the module prefix, and the repr of a
        // class in builtins shows that name: setting __name__ rewrites it to the bare name.
        nb::setattr(cls, "__name__", nb::str("HeaderKeyIter"));
        cls.inc_ref();
        return cls;
    });
}

nb::object make_header_class(nb::module_& m) {
    make_key_iter_class(m);
    return bound_class<HeaderObject>([&] {
        auto cls = nb::class_<HeaderObject>(m, "Header", kHeaderDoc, nb::is_final(),
                                            nb::type_slots(kHeaderSlots));
        cls.def("__init__", [](HeaderObject* self, nb::args args, nb::kwargs kwargs) {
            const Args p = parse_args(kNewSig, args, kwargs);
            nb::handle mapping = p.get_opt("mapping");
            PyHeader handle = mapping.is_valid()
                                  ? PyHeader::from_header(header_from_py(mapping), false)
                                  : PyHeader::new_empty();
            new (self) HeaderObject{std::move(handle), 0};
        });
        cls.def_prop_ro(
            "read_only",
            [](HeaderObject& self) {
                SharedUse use(self);
                return self.handle.read_only;
            },
            "True when this header was obtained from a read-only file.");
        add_method<HeaderObject, kGet>(cls);
        add_method<HeaderObject, kKeys>(cls);
        add_method<HeaderObject, kItems>(cls);
        add_method<HeaderObject, kCards>(cls);
        add_method<HeaderObject, kComment>(cls);
        add_method<HeaderObject, kToDict>(cls);
        add_method<HeaderObject, kToString>(cls);
        add_method<HeaderObject, kBytes>(cls);
        add_method<HeaderObject, kSet>(cls);
        add_method<HeaderObject, kInsert>(cls);
        add_method<HeaderObject, kUpdate>(cls);
        add_method<HeaderObject, kAddCommentary>(cls);
        add_method<HeaderObject, kRename>(cls);
        nb::object module_name = m.attr("__name__");
        add_static<kFromString>(cls, module_name);
        add_static<kFromBytes>(cls, module_name);
        return cls;
    });
}

nb::object make_commentary_class(nb::module_& m) {
    return bound_class<CommentaryObject>([&] {
        return nb::class_<CommentaryObject>(
            m, "HeaderCommentary",
            "List-like view of every commentary card body that shares a\n"
            "keyword (COMMENT, HISTORY or blank), taken when it was read from the header.",
            nb::is_final(), nb::type_slots(kCommentarySlots));
    });
}

const Registration kHeaderRegistration{"Header", make_header_class};
const Registration kCommentaryRegistration{"HeaderCommentary", make_commentary_class};

}  // namespace

}  // namespace vexlo::py
