// The text forms of vexlo.Header: str(header), tostring(), bytes(header), and the
// fromstring() and frombytes() constructors.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "header/card.hpp"
#include "header/header.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/header_shared.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/bytes.hpp"
#include "util/text.hpp"

namespace vexlo::py {

PyHeader header_from_text(std::string_view bytes, bool lenient) {
    return PyHeader::from_header(unwrap(Header::parse_text(bytes, lenient)), false);
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

using MethodDef = py::MethodDef<HeaderObject>;

// Python's own wording for the first undecodable sequence.
std::string utf8_fault_text(const Utf8Fault& f) {
    if (f.length == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(f.index);
    }
    return "invalid utf-8 sequence of " + std::to_string(f.length) + " bytes from index " +
           std::to_string(f.index);
}

Bytes serialised(HeaderObject& self) {
    auto lock = lock_header(*self.handle.record);
    return self.handle.record->header.to_bytes();
}

constexpr auto kToStringSig = signature("Header.tostring()");
nb::object header_tostring(HeaderObject& self, const Args&) {
    SharedUse use(self);
    const Bytes bytes = serialised(self);
    if (auto fault = find_utf8_fault(as_chars(bytes))) {
        raise(PyExc_ValueError, "non-ASCII header bytes: " + utf8_fault_text(*fault));
    }
    return to_py_str(as_chars(bytes));
}
constexpr auto kToStringDoc = method_doc<kToStringSig>(
    "The serialised header (cards, END, blank fill to 2880-byte\n"
    "blocks) as text.");
constexpr MethodDef kToString{kToStringDoc, header_tostring};

constexpr auto kBytesSig = signature("Header.__bytes__()");
nb::object header_bytes(HeaderObject& self, const Args&) {
    SharedUse use(self);
    const Bytes bytes = serialised(self);
    return nb::bytes(bytes.data(), bytes.size());
}
constexpr auto kBytesDoc = method_doc<kBytesSig>(
    "The serialised header (cards, END, blank fill to 2880-byte\n"
    "blocks).");
constexpr MethodDef kBytes{kBytesDoc, header_bytes};

constexpr auto kLenient = keyword_only(optional<bool>("lenient", true));

nb::object from_text_arg(const Args& p, const std::string& text) {
    const bool lenient = p.get(kLenient);
    return make_header_object(header_from_text(text, lenient));
}

constexpr auto kTextData = required<std::string>("data");
constexpr auto kFromStringSig = signature("Header.fromstring()", kTextData, kLenient);
nb::object header_fromstring(const Args& p) {
    const std::string text = p.get(kTextData);
    return from_text_arg(p, text);
}
constexpr auto kFromStringDoc = function_doc<kFromStringSig>(
    "Parse header text; padded to whole cards and given an END card\n"
    "when it has none.");
constexpr FunctionDef kFromString{kFromStringDoc, header_fromstring};

std::string bytes_arg(nb::handle obj) {
    if (!PyBytes_Check(obj.ptr())) raise_not_instance(obj, "bytes");
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &size) != 0) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

constexpr auto kBytesData = required<std::string>("data", bytes_arg);
constexpr auto kFromBytesSig = signature("Header.frombytes()", kBytesData, kLenient);
nb::object header_frombytes(const Args& p) {
    const std::string text = p.get(kBytesData);
    return from_text_arg(p, text);
}
constexpr auto kFromBytesDoc = function_doc<kFromBytesSig>(
    "Parse header bytes; padded to whole cards and given an END card\n"
    "when they have none.");
constexpr FunctionDef kFromBytes{kFromBytesDoc, header_frombytes};

}  // namespace

void add_text_members(nb::handle cls, nb::handle module_name) {
    add_method<HeaderObject, kToString>(cls);
    add_method<HeaderObject, kBytes>(cls);
    add_static_method<kFromString>(cls, module_name);
    add_static_method<kFromBytes>(cls, module_name);
}

}  // namespace vexlo::py
