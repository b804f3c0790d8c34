// The editing members of vexlo.Header: set, insert, update, add_commentary, rename_keyword,
// and header[key] = value / del header[key]. Every edit refuses a read-only header and the
// structural cards, and marks an update-mode file modified before anything else is checked;
// in such a file it is one operation of the file, run whole under the file's operation lock.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "header/header.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/header_shared.hpp"
#include "python/method.hpp"
#include "util/debug.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

using MethodDef = py::MethodDef<HeaderObject>;

// How an edit holds the header: first the operation lock of the file it belongs to (an edit of
// a header of a file opened for update is an operation of that file), so that a thread waiting
// for that lock does not hold the header object meanwhile, then the object alone.
struct EditUse {
    FileSession::Operation operation;
    ExclusiveUse<HeaderObject> use;

    explicit EditUse(HeaderObject& self)
        : operation(lock_operation(self.handle.session.get())), use(self) {}
};

// Inserts a card before or after the first card named `anchor`; an absent anchor is a
// KeyError, not an append.
Outcome insert_at_anchor(Header& h, const std::string& anchor, bool after, std::string_view key,
                         const Value& value, const std::optional<std::string>& comment) {
    if (!h.contains(anchor)) return KeyMissing{anchor};
    return after ? outcome_of(h.insert_after(anchor, key, value, comment))
                 : outcome_of(h.insert_before(anchor, key, value, comment));
}

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
    for_each_item(items, [&](CardEntry e) {
        Result<bool> done;
        {
            auto lock = lock_header(target);
            done = target.header.set(e.keyword, e.value, e.comment);
        }
        if (!done) to_fits_error(done.error());
    });
}

[[noreturn]] void raise_structural(std::string_view format_before, std::string_view key,
                                   std::string_view format_after) {
    std::string text(format_before);
    text += debug_str(key);
    text += format_after;
    raise(PyExc_ValueError, std::move(text));
}

// The handles `set` and `insert` share.
constexpr auto kKeyword = required<std::string>("keyword");
constexpr auto kValue = or_none<nb::handle>("value");
constexpr auto kComment = or_none<std::string>("comment");

constexpr auto kBefore = keyword_only(or_none<std::string>("before"));
constexpr auto kAfterKey = keyword_only(or_none<std::string>("after"));
constexpr auto kSetSig = signature("Header.set()", kKeyword, kValue, kComment, kBefore, kAfterKey);
nb::object header_set(HeaderObject& self, const Args& p) {
    EditUse use(self);
    const std::string keyword = p.get(kKeyword);
    const auto comment = p.get(kComment);
    const auto before = p.get(kBefore);
    const auto after = p.get(kAfterKey);
    self.handle.begin_mutation();

    if (before && after) {
        raise(PyExc_ValueError, "Header.set: 'before' and 'after' are mutually exclusive");
    }
    const std::string key = ascii_upper(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("Header.set: ", keyword, " is a structural card managed by the writer");
    }
    std::optional<Value> value;
    if (nb::handle v = p.get(kValue); v.is_valid()) value = value_from_py(v);
    const std::optional<std::string> anchor = after ? after : before;
    const std::string anchor_key = anchor ? ascii_upper(*anchor) : std::string();

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
constexpr auto kSetDoc = method_doc<kSetSig>(
    "Set the first card named `keyword`, or add it (before or after an anchor card\n"
    "when one is named). Without a value only the comment of an existing card changes.");
constexpr MethodDef kSet{kSetDoc, header_set};

constexpr auto kPosition = required<nb::handle>("position");
constexpr auto kAfter = keyword_only(optional<bool>("after", false));
constexpr auto kInsertSig =
    signature("Header.insert()", kPosition, kKeyword, kValue, kComment, kAfter);
nb::object header_insert(HeaderObject& self, const Args& p) {
    EditUse use(self);
    const std::string keyword = p.get(kKeyword);
    const auto comment = p.get(kComment);
    const bool after = p.get(kAfter);
    self.handle.begin_mutation();

    const std::string key = ascii_upper(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("Header.insert: ", keyword, " is a structural card managed by the writer");
    }
    nb::handle v = p.get(kValue);
    const Value value = v.is_valid() ? value_from_py(v) : Value::make_undefined();

    nb::handle position = p.get(kPosition);
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
        anchor = ascii_upper(to_string(position));
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
constexpr auto kInsertDoc = method_doc<kInsertSig>(
    "Insert a new card before the card at index `position`, or before (after) the first\n"
    "card named `position`. An existing card of the same keyword is kept.");
constexpr MethodDef kInsert{kInsertDoc, header_insert};

constexpr auto kOther = required<nb::handle>("other");
constexpr auto kUpdateSig = signature("Header.update()", kOther);
nb::object header_update(HeaderObject& self, const Args& p) {
    EditUse use(self);
    nb::handle other = p.get(kOther);
    self.handle.begin_mutation();
    update_from(*self.handle.record, other);
    return nb::none();
}
constexpr auto kUpdateDoc = method_doc<kUpdateSig>(
    "Set every value card of another Header, or every item of a\n"
    "mapping, in order. Commentary cards are not copied.");
constexpr MethodDef kUpdate{kUpdateDoc, header_update};

constexpr auto kKind = required<std::string>("kind");
constexpr auto kText = required<std::string>("text");
constexpr auto kAddCommentarySig = signature("Header.add_commentary()", kKind, kText);
nb::object header_add_commentary(HeaderObject& self, const Args& p) {
    EditUse use(self);
    const std::string kind_text = p.get(kKind);
    const std::string text = p.get(kText);
    self.handle.begin_mutation();

    CommentaryKind kind = CommentaryKind::Blank;
    if (!kind_text.empty()) {
        const std::string upper = ascii_upper(kind_text);
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
constexpr auto kAddCommentaryDoc = method_doc<kAddCommentarySig>(
    "Append COMMENT, HISTORY or blank-keyword ('') cards holding\n"
    "`text`, 72 characters per card.");
constexpr MethodDef kAddCommentary{kAddCommentaryDoc, header_add_commentary};

constexpr auto kOldName = required<std::string>("oldname");
constexpr auto kNewName = required<std::string>("newname");
constexpr auto kRenameSig = signature("Header.rename_keyword()", kOldName, kNewName);
nb::object header_rename_keyword(HeaderObject& self, const Args& p) {
    EditUse use(self);
    const std::string oldname = p.get(kOldName);
    const std::string newname = p.get(kNewName);
    self.handle.begin_mutation();

    const std::string old_key = ascii_upper(oldname);
    const std::string new_key = ascii_upper(newname);
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
constexpr auto kRenameDoc = method_doc<kRenameSig>(
    "Rename every value card named `oldname`, keeping values and\n"
    "comments.");
constexpr MethodDef kRename{kRenameDoc, header_rename_keyword};

}  // namespace

namespace {

// The key of header[key] = ..., upper-cased, once the header has let the edit begin and the
// key is no structural card.
std::string settable_item_key(HeaderObject& self, nb::handle key_obj) {
    const std::string keyword = with_arg_name("key", [&] { return to_string(key_obj); });
    self.handle.begin_mutation();
    std::string key = ascii_upper(keyword);
    if (is_structural_keyword(key)) {
        raise_structural("header[", keyword,
                         "] is a structural card managed by the writer; it is recomputed from "
                         "the data array on writeto. Use `hdu.data = new_array.astype(...)` to "
                         "change BITPIX/NAXIS.");
    }
    return key;
}

}  // namespace

void set_item_keeping_value(nb::handle header, nb::handle key_obj,
                            const std::optional<std::string>& comment) {
    HeaderObject& self = self_state<HeaderObject>(header.ptr());
    EditUse use(self);
    const std::string key = settable_item_key(self, key_obj);
    Outcome outcome;
    {
        auto lock = lock_header(*self.handle.record);
        outcome = outcome_of(self.handle.record->header.set_keeping_value(key, comment));
    }
    raise_outcome(std::move(outcome));
}

void set_item(HeaderObject& self, nb::handle key_obj, nb::handle value_obj) {
    EditUse use(self);
    const std::string key = settable_item_key(self, key_obj);
    const ValueAndComment vc = value_comment_from_py(value_obj);
    Outcome outcome;
    {
        auto lock = lock_header(*self.handle.record);
        outcome = outcome_of(self.handle.record->header.set(key, vc.value, vc.comment));
    }
    raise_outcome(std::move(outcome));
}

void delete_item(HeaderObject& self, nb::handle key_obj) {
    EditUse use(self);
    const std::string keyword = with_arg_name("key", [&] { return to_string(key_obj); });
    self.handle.begin_mutation();
    const std::string key = ascii_upper(keyword);
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

void add_edit_members(nb::handle cls) {
    add_method<HeaderObject, kSet>(cls);
    add_method<HeaderObject, kInsert>(cls);
    add_method<HeaderObject, kUpdate>(cls);
    add_method<HeaderObject, kAddCommentary>(cls);
    add_method<HeaderObject, kRename>(cls);
}

}  // namespace vexlo::py
