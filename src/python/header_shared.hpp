// What the files of vexlo.Header share among themselves (header_mapping, header_edit,
// header_commentary, header_values, header_text); other binding files use header.hpp.
//
// Locking discipline: a header's mutex is held only around work on the core Header. Python
// arguments are converted before it is taken, no Python object is created or dropped while it
// is held, and results become Python objects after it is released. Errors found under the lock
// are carried out of it as plain values (an Outcome) and raised afterwards.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "header/value.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/method.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// --- Object states ---

// A Header object that the call in progress does not hold exclusively, or nullptr.
HeaderObject* readable_header(nb::handle obj);

// --- Python values (header_values.cpp) ---

// Card text as a Python str: ASCII or UTF-8; "replace" only guards odd bytes.
nb::str to_py_str(std::string_view text);
// The text, or None.
nb::object optional_text(const std::optional<std::string>& text);
// The value, or None.
nb::object card_value_to_py(const std::optional<Value>& value);

// KeyError carrying `key` (normally the key as the caller passed it).
[[noreturn]] void raise_key_error(nb::handle key);
[[noreturn]] void raise_key_error(std::string_view key);

// Runs `each(CardEntry)` on every item of `items`: item[0] a str key (upper-cased into the
// entry), item[1] a value or a (value, comment) pair.
void for_each_item(nb::handle items, const std::function<void(CardEntry)>& each);

// obj.items(), or TypeError `message` when that call fails in any way.
nb::object call_items(nb::handle obj, const char* message);

// --- Outcome of a locked step ---

// Done, a library error, or a KeyError for a key.
struct KeyMissing {
    std::string key;  // as it goes into the KeyError
};
using Outcome = std::variant<std::monostate, Error, KeyMissing>;

inline void raise_outcome(Outcome&& outcome) {
    if (auto* e = std::get_if<Error>(&outcome)) to_fits_error(*e);
    if (auto* k = std::get_if<KeyMissing>(&outcome)) raise_key_error(k->key);
}

template <class T>
Outcome outcome_of(Result<T>&& r) {
    if (!r) return Outcome(std::move(r).error());
    return Outcome();
}

// --- Members and views added by each file ---

using HeaderClass = nb::class_<HeaderObject>;

// set, insert, update, add_commentary, rename_keyword (header_edit.cpp).
void add_edit_members(nb::handle cls);
// header[key] = value and del header[key], after the borrow checks.
void set_item(HeaderObject& self, nb::handle key_obj, nb::handle value_obj);
void delete_item(HeaderObject& self, nb::handle key_obj);

// tostring, __bytes__, fromstring, frombytes (header_text.cpp).
void add_text_members(nb::handle cls, nb::handle module_name);

// date, the time and observatory properties, unit_for, value_in_si and validate
// (header_interpret.cpp).
void add_interpret_members(HeaderClass& cls);

// A HeaderCommentary over the texts (header_commentary.cpp).
nb::object make_commentary_view(std::vector<std::string> texts);

}  // namespace vexlo::py
