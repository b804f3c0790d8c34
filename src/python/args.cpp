#include "python/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace vexlo::py {

namespace {

// UTF-8 text of a str object; unencodable code points (lone surrogates) are escaped rather
// than failing, since the text only goes into a message.
std::string message_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AsString(bytes.ptr()), PyBytes_Size(bytes.ptr()));
}

std::string named(std::string_view param, std::string_view text) {
    std::string out = "argument '";
    out += param;
    out += "': ";
    out += text;
    return out;
}

// A Python TypeError replaced by the named one, keeping the first error's own cause.
[[noreturn]] void rewrap_python_error(std::string_view param, const nb::python_error& first) {
    nb::str text(first.value());
    const std::string message = named(param, message_text(text.ptr()));
    PyObject* cause = PyException_GetCause(first.value().ptr());
    if (cause == nullptr) raise(PyExc_TypeError, message);
    nb::object replacement = nb::steal(PyObject_CallFunctionObjArgs(
        PyExc_TypeError, nb::str(message.data(), message.size()).ptr(), nullptr));
    if (!replacement.is_valid()) {
        Py_DECREF(cause);
        throw nb::python_error();
    }
    PyException_SetCause(replacement.ptr(), cause);  // takes the reference
    PyErr_SetObject(PyExc_TypeError, replacement.ptr());
    throw nb::python_error();
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void raise_missing(SignatureView sig, std::string_view kind,
                                const std::vector<std::string_view>& names) {
    std::string message(sig.display);
    message += " missing ";
    message += std::to_string(names.size());
    message += " required ";
    message += kind;
    message += names.size() == 1 ? " argument: " : " arguments: ";
    message += quoted_list(names);
    raise(PyExc_TypeError, std::move(message));
}

[[noreturn]] void raise_too_many(SignatureView sig, std::size_t required_positional,
                                 std::size_t positional, std::size_t given) {
    std::string message(sig.display);
    if (required_positional == positional) {
        message += " takes " + std::to_string(positional);
    } else {
        message += " takes from " + std::to_string(required_positional) + " to " +
                   std::to_string(positional);
    }
    message += " positional arguments but " + std::to_string(given);
    message += given == 1 ? " was given" : " were given";
    raise(PyExc_TypeError, std::move(message));
}

}  // namespace

bool is_numpy_bool(PyTypeObject* type) {
    return is_numpy_type(type, {"bool_", "bool"});
}

bool is_numpy_type(PyTypeObject* type, std::initializer_list<std::string_view> names) {
    nb::object name = nb::steal(PyType_GetName(type));
    if (!name.is_valid()) {
        PyErr_Clear();
        return false;
    }
    const std::string type_name = message_text(name.ptr());
    if (std::find(names.begin(), names.end(), type_name) == names.end()) return false;
    nb::object module =
        nb::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.ptr()) && message_text(module.ptr()) == "numpy";
}

// --- Conversions of single objects ------------------------------------------------------------

std::string type_name_of(nb::handle obj) {
    nb::object name = nb::steal(PyType_GetQualName(Py_TYPE(obj.ptr())));
    if (!name.is_valid()) throw nb::python_error();
    return message_text(name.ptr());
}

std::string not_instance_message(nb::handle obj, std::string_view expected) {
    std::string out = "'" + type_name_of(obj) + "' object is not an instance of '";
    out += expected;
    out += '\'';
    return out;
}

std::string required_instance_message(nb::handle obj, std::string_view expected) {
    if (!obj.is_none()) return not_instance_message(obj, expected);
    std::string out = "'None' is not an instance of '";
    out += expected;
    out += '\'';
    return out;
}

void raise_not_instance(nb::handle obj, std::string_view expected) {
    raise(PyExc_TypeError, not_instance_message(obj, expected));
}

void raise_required_instance(nb::handle obj, std::string_view expected) {
    raise(PyExc_TypeError, required_instance_message(obj, expected));
}

bool to_bool(nb::handle obj) {
    PyObject* o = obj.ptr();
    if (PyBool_Check(o)) return o == Py_True;
    if (is_numpy_bool(Py_TYPE(o))) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) throw nb::python_error();
        return truth != 0;
    }
    raise_not_instance(obj, "bool");
}

std::int64_t to_i64(nb::handle obj) {
    const long long value = PyLong_AsLongLong(obj.ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

std::uint64_t to_u64(nb::handle obj) {
    nb::object index = nb::steal(PyNumber_Index(obj.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw nb::python_error();
    }
    return value;
}

double to_f64(nb::handle obj) {
    const double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

std::string to_string(nb::handle obj) {
    if (!PyUnicode_Check(obj.ptr())) raise_required_instance(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, size);
}

std::string to_path(nb::handle obj) {
    const nb::object fs = nb::steal(PyOS_FSPath(obj.ptr()));
    if (!fs.is_valid()) throw nb::python_error();
    if (!PyUnicode_Check(fs.ptr())) raise_not_instance(fs, "str");
    const nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(fs.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    const nb::bytes raw = nb::borrow<nb::bytes>(encoded);
    std::string bytes(raw.c_str(), raw.size());
    if (bytes.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return bytes;
}

// --- Wrapping -----------------------------------------------------------------------------------

void detail::rethrow_named(std::string_view param) {
    try {
        throw;
    } catch (const BuiltinError& e) {
        if (PyErr_GivenExceptionMatches(e.type, PyExc_TypeError)) {
            raise(PyExc_TypeError, named(param, e.message));
        }
        throw;
    } catch (const nb::builtin_exception& e) {
        if (e.type() == nb::exception_type::type_error) {
            raise(PyExc_TypeError, named(param, e.what()));
        }
        throw;
    } catch (const nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        rewrap_python_error(param, e);
    }
}

// --- Parsing ------------------------------------------------------------------------------------

void Args::not_in_table(std::string_view name) const {
    panic(std::string(sig_.display) + " has no parameter '" + std::string(name) + "'");
}

namespace {

// The row of the table named by a keyword; TypeError for a keyword the table does not name.
std::size_t keyword_row(SignatureView sig, PyObject* key) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (data != nullptr) {
        const std::string_view name(data, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            if (sig.params[i].name == name) return i;
        }
    }
    // A str that is no name of the table (or one UTF-8 cannot encode), or another object.
    PyErr_Clear();
    const std::string name =
        PyUnicode_Check(key) ? message_text(key) : message_text(nb::str(key).ptr());
    raise(PyExc_TypeError,
          std::string(sig.display) + " got an unexpected keyword argument '" + name + "'");
}

}  // namespace

struct ArgsBuilder {
    template <class ForEachKeyword>
    static Args parse(SignatureView sig, PyObject* const* args, std::size_t nargs,
                      ForEachKeyword&& for_each_keyword) {
        Args out(sig);
        if (nargs > sig.positional) {
            raise_too_many(sig, sig.required_positional, sig.positional, nargs);
        }
        for (std::size_t i = 0; i < nargs; ++i)
            out.values_[i] = args[i];

        for_each_keyword([&](PyObject* key, PyObject* value) {
            const std::size_t i = keyword_row(sig, key);
            if (out.values_[i] != nullptr) {
                raise(PyExc_TypeError, std::string(sig.display) +
                                           " got multiple values for argument '" +
                                           std::string(sig.params[i].name) + "'");
            }
            out.values_[i] = value;
        });

        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            const Param& p = sig.params[i];
            if (p.kind == ParamKind::PositionalOrKeyword && p.required &&
                out.values_[i] == nullptr) {
                missing.push_back(p.name);
            }
        }
        if (!missing.empty()) raise_missing(sig, "positional", missing);
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            const Param& p = sig.params[i];
            if (p.kind == ParamKind::KeywordOnly && p.required && out.values_[i] == nullptr) {
                missing.push_back(p.name);
            }
        }
        if (!missing.empty()) raise_missing(sig, "keyword", missing);
        return out;
    }
};

Args parse_args(SignatureView sig, const nb::args& args, const nb::kwargs& kwargs) {
    PyObject* tuple = args.ptr();
    const std::size_t nargs = static_cast<std::size_t>(PyTuple_Size(tuple));
    // More than kMaxParams positional arguments are always too many, and the parser reports
    // that before it reads any of them.
    std::array<PyObject*, kMaxParams> items{};
    for (std::size_t i = 0; i < nargs && i < kMaxParams; ++i) {
        items[i] = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i));
    }
    return ArgsBuilder::parse(sig, items.data(), nargs, [&](auto&& visit) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
            visit(key, value);
    });
}

Args parse_args(SignatureView sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    return ArgsBuilder::parse(sig, args, nargs, [&](auto&& visit) {
        if (kwnames == nullptr) return;
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            visit(PyTuple_GetItem(kwnames, i), args[nargs + static_cast<std::size_t>(i)]);
        }
    });
}

}  // namespace vexlo::py
