// The Python view of a header: a handle on one lock-protected, shared core Header and the
// conversions between Python objects and card values, for every binding file. The classes
// vexlo.Header, vexlo.HeaderCommentary and HeaderKeyIter are made in the header_* files.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "header/header.hpp"
#include "header/value.hpp"
#include "python/file_session.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// One core header behind a mutex, shared by every handle on it.
struct SharedHeader {
    std::mutex mutex;
    Header header;

    SharedHeader() = default;
    explicit SharedHeader(Header h) : header(std::move(h)) {}
};

// Locks a header's mutex from a thread that holds the interpreter lock. On contention the
// interpreter lock is released while waiting, so a holder that needs it can finish. Code
// holding the returned lock must not run Python code (nor create or drop Python objects).
std::unique_lock<std::mutex> lock_header(SharedHeader& record);

// The handle behind every Python view of a header.
struct PyHeader {
    std::shared_ptr<SharedHeader> record;
    std::shared_ptr<FileSession> session;  // present only for headers of an update-mode file
    bool read_only = false;

    // A copy of `header` (bytes and, when built, layout) in a new shared record.
    static PyHeader from_header(const Header& header, bool read_only,
                                std::shared_ptr<FileSession> session = nullptr);
    static PyHeader from_header(Header&& header, bool read_only,
                                std::shared_ptr<FileSession> session = nullptr);
    static PyHeader new_empty();
    // A new handle on the record of a vexlo.Header object (same session and read-only
    // setting); the conversion TypeError for any other object.
    static PyHeader share(nb::handle obj);

    // Steps 1 and 2 of every mutation: refuses a read-only header, then marks the owning
    // file modified (before anything else is checked, so a failing edit still forces the
    // next flush to rewrite).
    void begin_mutation() const;

    // A copy of the current core header, taken under the lock.
    Header snapshot() const;
};

// The native state of a vexlo.Header object: the handle and who is using the object right
// now (a count of readers, or -1 while an editing call holds it).
struct HeaderObject {
    PyHeader handle;
    int borrow = 0;
};

// A new Python vexlo.Header object over `handle`.
nb::object make_header_object(PyHeader handle);

// The handle of a vexlo.Header object, or nullptr when `obj` is not one.
const PyHeader* header_handle(nb::handle obj);

// header[key] = value given no value, on the vexlo.Header `header`: the card keeps its value
// and takes `comment` when one is given; a new keyword gets an undefined value. Checks and
// errors are those of header[key] = value.
void set_item_keeping_value(nb::handle header, nb::handle key_obj,
                            const std::optional<std::string>& comment);

// --- conversions ---

// bool/NumPy bool -> Logical; 64-bit integer -> Integer; a wider integer -> Real keeping its
// digits (Value::make_integer_of_any_width); complex -> ComplexInteger or
// ComplexReal; anything float-convertible -> Real; str -> String; None -> Undefined;
// otherwise TypeError "cannot convert {} into a FITS header value".
Value value_from_py(nb::handle obj);
nb::object value_to_py(const Value& value);

// A value, or a (value, comment-or-None) pair.
ValueAndComment value_comment_from_py(nb::handle obj);

// A new core header from a vexlo.Header (copied under its lock) or from any object with
// items() yielding (str key, value or (value, comment)) pairs.
Header header_from_py(nb::handle obj);

// Parses header text (cards padded, END appended when missing) into a new writable handle.
PyHeader header_from_text(std::string_view bytes, bool lenient);

// str(header): each non-blank card line (80 columns, trailing NULs dropped), END and fill
// left out, joined by newlines.
std::string render_header_text(SharedHeader& record);

}  // namespace vexlo::py
