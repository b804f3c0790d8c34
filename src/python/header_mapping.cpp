// vexlo.Header as a mapping: the shared header handle, the reading members (get, keys, items,
// cards, comment, to_dict), the mapping protocol (header[key], len, in, iter, str) and the
// HeaderKeyIter that iter(header) returns. Editing, text forms, value conversion and the
// commentary view live in the other header_* files.
#include "python/header.hpp"

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "header/card.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/header_shared.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/text.hpp"

namespace vexlo::py {

std::unique_lock<std::mutex> lock_header(SharedHeader& record) {
    return lock_mutex(record.mutex);
}

PyHeader PyHeader::from_header(const Header& header, bool read_only,
                               std::shared_ptr<FileSession> session) {
    return PyHeader{std::make_shared<SharedHeader>(header), std::move(session), read_only};
}

PyHeader PyHeader::from_header(Header&& header, bool read_only,
                               std::shared_ptr<FileSession> session) {
    return PyHeader{std::make_shared<SharedHeader>(std::move(header)), std::move(session),
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
    if (session) session->modified.store(true);
}

Header PyHeader::snapshot() const {
    auto lock = lock_header(*record);
    return record->header;
}

nb::object make_header_object(PyHeader handle) {
    return nb::cast(HeaderObject{std::move(handle), 0}, nb::rv_policy::move);
}

const PyHeader* header_handle(nb::handle obj) {
    if (!obj.is_valid() || !nb::isinstance<HeaderObject>(obj) || !nb::inst_ready(obj)) {
        return nullptr;
    }
    return &nb::inst_ptr<HeaderObject>(obj)->handle;
}

HeaderObject* readable_header(nb::handle obj) {
    if (!nb::isinstance<HeaderObject>(obj) || !nb::inst_ready(obj)) return nullptr;
    HeaderObject* h = nb::inst_ptr<HeaderObject>(obj);
    return h->borrow < 0 ? nullptr : h;
}

namespace {

struct KeyIterObject {
    std::vector<std::string> keys;
    std::size_t pos = 0;
};

using MethodDef = py::MethodDef<HeaderObject>;

// --- Reading members ------------------------------------------------------------------------

// The `key` of get, cards and comment.
constexpr auto kKey = required<std::string>("key");

ByteSpan first_image(const CardView& view) {
    return view.bytes.first(std::min(view.bytes.size(), kCardLen));
}

bool is_commentary_image(ByteSpan image) {
    const CardKind kind = card_kind(image, true);
    return kind == CardKind::Commentary || kind == CardKind::Continue;
}

constexpr auto kDefault = or_none<nb::handle>("default");
constexpr auto kGetSig = signature("Header.get()", kKey, kDefault);
nb::object header_get(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = ascii_upper(p.get(kKey));
    std::optional<Value> value;
    {
        SharedHeader& r = *self.handle.record;
        auto lock = lock_header(r);
        if (auto view = r.header.get(key)) value = view->value();
    }
    if (!value) {
        nb::handle fallback = p.get(kDefault);
        return fallback.is_valid() ? nb::borrow(fallback) : nb::none();
    }
    return value_to_py(*value);
}
constexpr auto kGetDoc = method_doc<kGetSig>(
    "Value of the first value card named `key` (case-insensitive), or\n"
    "`default` when there is none. Commentary cards never match.");
constexpr MethodDef kGet{kGetDoc, header_get};

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
constexpr auto kKeysDoc =
    method_doc<kKeysSig>("Keyword of every card in order, repeats and commentary included.");
constexpr MethodDef kKeys{kKeysDoc, header_keys};

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
constexpr auto kItemsDoc =
    method_doc<kItemsSig>("(keyword, value) of every card in order; None for commentary.");
constexpr MethodDef kItems{kItemsDoc, header_items};

constexpr auto kCardsSig = signature("Header.cards()", kKey);
nb::object header_cards(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = ascii_upper(p.get(kKey));
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
constexpr auto kCardsDoc =
    method_doc<kCardsSig>("(value, comment) of every card named `key`, commentary included.");
constexpr MethodDef kCards{kCardsDoc, header_cards};

constexpr auto kCommentSig = signature("Header.comment()", kKey);
nb::object header_comment(HeaderObject& self, const Args& p) {
    SharedUse use(self);
    const std::string key = p.get(kKey);
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
constexpr auto kCommentDoc =
    method_doc<kCommentSig>("Inline comment of the first card named `key`, or None.");
constexpr MethodDef kComment{kCommentDoc, header_comment};

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
constexpr auto kToDictDoc = method_doc<kToDictSig>(
    "Keyword to value for every value card; a repeated keyword keeps\n"
    "its last value.");
constexpr MethodDef kToDict{kToDictDoc, header_to_dict};

// --- Protocol slots -------------------------------------------------------------------------

// header[key] for a str key.
nb::object subscript_key(HeaderObject& self, nb::handle key_obj) {
    const std::string key = ascii_upper(to_string(key_obj));
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
        return make_commentary_view(std::move(texts));
    }
    bool found = false;
    std::optional<Value> value;
    {
        auto lock = lock_header(r);
        const Layout& layout = r.header.layout();
        if (auto first = layout.first_span(r.header.stored_keyword(key))) {
            found = true;
            value = r.header.view_at(*first).value();
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
    const std::string key = ascii_upper(keyword);

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
        if (const std::optional<std::uint64_t> at = wrap_index(n, count)) {
            const CardView& view = views[static_cast<std::size_t>(*at)];
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
        const std::string k = ascii_upper(with_arg_name("key", [&] { return to_string(key); }));
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

// --- HeaderKeyIter --------------------------------------------------------------------------

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

constexpr auto kMapping = or_none<nb::handle>("mapping");
constexpr auto kNewSig = signature("Header.__new__()", kMapping);

constexpr auto kHeaderDoc = function_doc<kNewSig>(
    "Dict-like view of a FITS header.\n\n"
    "Keys are keywords, matched without regard to ASCII letter case. header[key] gives the\n"
    "value of the first card with that keyword, header[(key, n)] the n-th, and\n"
    "header['COMMENT'], header['HISTORY'] and header[''] a HeaderCommentary of every card of\n"
    "that kind. Headers of files opened read-only refuse every edit.");

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
        auto cls = nb::class_<HeaderObject>(m, "Header", kHeaderDoc.doc(), nb::is_final(),
                                            nb::type_slots(kHeaderSlots));
        cls.def("__init__", [](HeaderObject* self, nb::args args, nb::kwargs kwargs) {
            const Args p = parse_args(kNewSig, args, kwargs);
            nb::handle mapping = p.get(kMapping);
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
        add_text_members(cls, m.attr("__name__"));
        add_edit_members(cls);
        add_interpret_members(cls);
        return cls;
    });
}

const Registration kHeaderRegistration{"Header", make_header_class};

}  // namespace

}  // namespace vexlo::py
