// Header editing: where formatted images go, and keeping the keyword layout equal to what a
// fresh build from the edited bytes would give.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

#include "header/format.hpp"
#include "header/header.hpp"

namespace vexlo {

namespace {

ByteSpan image_at(ByteSpan bytes, std::size_t pos) {
    return bytes.subspan(pos, kCardLen);
}

// Whole images only: the stored bytes stay a run of 80-byte images whatever the caller hands.
ByteSpan whole_images(ByteSpan images) {
    return images.first(images.size() - images.size() % kCardLen);
}

// Images may lie inside the bytes about to change (a caller re-adding its own cards); a copy
// keeps the insertion from reading storage that moves underneath it.
Bytes detached(ByteSpan images) {
    return Bytes(images.begin(), images.end());
}

bool overlaps(const Bytes& bytes, ByteSpan images) {
    if (images.empty() || bytes.empty()) return false;
    const auto* lo = bytes.data();
    const auto* hi = bytes.data() + bytes.size();
    return std::less_equal<>{}(lo, images.data()) && std::less<>{}(images.data(), hi);
}

bool continues(ByteSpan previous, ByteSpan image) {
    return card_kind(image, true) == CardKind::Continue && continue_attaches_after(previous);
}

// True when overwriting the span [start, start + |images|) of `bytes` with `images` leaves a
// fresh build with the same spans and index: the first image keeps its kind and keyword (so
// its attachment to the span before and its index entry stay), the images still form exactly
// one span, and the image after them still does not attach.
bool same_shape(ByteSpan bytes, Span old, ByteSpan images) {
    ByteSpan old_first = image_at(bytes, old.start);
    ByteSpan new_first = image_at(images, 0);
    if (card_kind(old_first, true) != card_kind(new_first, true)) return false;
    // Both keywords readable and equal, or both unreadable: a blank-keyword card and one whose
    // keyword cannot be read share the empty text but are filed differently.
    const std::string old_key = card_keyword(old_first, true);
    if (card_keyword(new_first, true) != old_key) return false;
    if (card_keyword_eq(old_first, true, old_key) != card_keyword_eq(new_first, true, old_key)) {
        return false;
    }
    for (std::size_t pos = kCardLen; pos < images.size(); pos += kCardLen) {
        if (!continues(image_at(images, pos - kCardLen), image_at(images, pos))) return false;
    }
    if (bytes.size() - old.end >= kCardLen &&
        continues(image_at(images, images.size() - kCardLen), image_at(bytes, old.end))) {
        return false;
    }
    return true;
}

std::string_view commentary_keyword(CommentaryKind kind) {
    switch (kind) {
        case CommentaryKind::Comment:
            return "COMMENT";
        case CommentaryKind::History:
            return "HISTORY";
        case CommentaryKind::Blank:
            break;
    }
    return "";
}

// The images of one logical card, as push_card writes it: commentary text for COMMENT,
// HISTORY and the blank keyword, a formatted value card otherwise.
Result<Bytes> card_images(std::string_view keyword, const Value& value,
                          const std::optional<std::string>& comment) {
    VEXLO_TRY(validate_keyword(keyword));
    if (is_commentary_keyword(keyword)) return format_commentary_cards(keyword, value.to_text());
    return format_value_card(keyword, value, comment);
}

// The starting headers are built from constants: a failure is a broken invariant, not input.
void expect_valid(const Result<Header*>& built, const char* what) {
    if (built) return;
    std::fprintf(stderr, "%s: %s\n", what, built.error().message().c_str());
    std::abort();
}

}  // namespace

// --- raw primitives ---

void Header::push_raw(ByteSpan images) {
    images = whole_images(images);
    if (overlaps(bytes_, images)) {
        push_raw(detached(images));
        return;
    }
    const std::size_t from = bytes_.size();
    bytes_.insert(bytes_.end(), images.begin(), images.end());
    if (Layout* built = layout_.get()) built->extend(bytes_, from);
}

void Header::insert_raw(std::size_t span, ByteSpan images) {
    images = whole_images(images);
    const Bytes copy = detached(images);
    const Layout& l = layout();
    const std::size_t at = span < l.spans.size() ? l.spans[span].start : bytes_.size();
    bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(at), copy.begin(), copy.end());
    Layout* built = layout_.get();
    if (built == nullptr || !built->insert_images(bytes_, span, at, copy.size())) {
        invalidate_layout();
    }
}

void Header::replace_raw(std::size_t span, ByteSpan images) {
    images = whole_images(images);
    const Layout& l = layout();
    if (span >= l.spans.size() || images.empty()) return;
    const Span old = l.spans[span];
    const Bytes copy = detached(images);
    const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(old.start);
    const auto end = bytes_.begin() + static_cast<std::ptrdiff_t>(old.end);
    if (copy.size() == old.end - old.start) {
        const bool keep = same_shape(bytes_, old, copy);
        std::copy(copy.begin(), copy.end(), begin);
        if (!keep) invalidate_layout();
        return;
    }
    const auto at = bytes_.erase(begin, end);
    bytes_.insert(at, copy.begin(), copy.end());
    invalidate_layout();
}

void Header::invalidate_layout() {
    layout_.reset();
}

// --- card operations ---

Result<Header*> Header::push_card(std::string_view keyword, const Value& value,
                                  const std::optional<std::string>& comment) {
    VEXLO_TRY(validate_keyword(keyword));
    if (keyword == "COMMENT") return add_commentary(CommentaryKind::Comment, value.to_text());
    if (keyword == "HISTORY") return add_commentary(CommentaryKind::History, value.to_text());
    VEXLO_ASSIGN_OR_RETURN(Bytes images, format_value_card(keyword, value, comment));
    push_raw(images);
    return this;
}

Result<Header*> Header::add_commentary(CommentaryKind kind, std::string_view text) {
    VEXLO_ASSIGN_OR_RETURN(Bytes images, format_commentary_cards(commentary_keyword(kind), text));
    // Each image is a logical card of its own.
    for (std::size_t pos = 0; pos < images.size(); pos += kCardLen) {
        push_raw(image_at(images, pos));
    }
    return this;
}

Result<bool> Header::set(std::string_view keyword, const Value& value,
                         const std::optional<std::string>& comment) {
    VEXLO_TRY(validate_keyword(keyword));
    if (is_commentary_keyword(keyword)) {
        VEXLO_TRY(push_card(keyword, value, comment));
        return false;
    }
    const Layout& l = layout();
    const std::string stored = stored_keyword(keyword);
    const std::optional<std::size_t> found = l.first_value(stored);
    if (!found) {
        VEXLO_TRY(push_card(keyword, value, comment));
        return false;
    }
    const std::size_t span = *found;
    std::optional<std::string> kept = comment;
    if (!kept) {
        if (auto old = view_at(span).value_and_comment()) kept = std::move(old->comment);
    }
    // The card keeps the spelling it was found under.
    VEXLO_ASSIGN_OR_RETURN(Bytes images, format_value_card(stored, value, kept));
    replace_raw(span, images);
    return true;
}

Result<bool> Header::set_keeping_value(std::string_view keyword,
                                       const std::optional<std::string>& comment) {
    Value kept = Value::make_undefined();
    if (!is_commentary_keyword(keyword)) {
        if (const auto found = layout().first_value(stored_keyword(keyword))) {
            if (std::optional<Value> value = view_at(*found).value()) kept = std::move(*value);
        }
    }
    return set(keyword, kept, comment);
}

Result<bool> Header::set_real(std::string_view keyword, double value,
                              const std::optional<std::string>& comment) {
    return set(keyword, Value::make_real(value), comment);
}

Result<Header*> Header::insert(std::size_t span, std::string_view keyword, const Value& value,
                               const std::optional<std::string>& comment) {
    VEXLO_ASSIGN_OR_RETURN(Bytes images, card_images(keyword, value, comment));
    insert_raw(span, images);
    return this;
}

Result<bool> Header::insert_anchored(std::string_view anchor, std::size_t after,
                                     std::string_view keyword, const Value& value,
                                     const std::optional<std::string>& comment) {
    VEXLO_ASSIGN_OR_RETURN(Bytes images, card_images(keyword, value, comment));
    const Layout& l = layout();
    const std::optional<std::size_t> found = l.first_value(stored_keyword(anchor));
    if (!found) {
        push_raw(images);
        return false;
    }
    insert_raw(*found + after, images);
    return true;
}

Result<bool> Header::insert_before(std::string_view anchor, std::string_view keyword,
                                   const Value& value, const std::optional<std::string>& comment) {
    return insert_anchored(anchor, 0, keyword, value, comment);
}

Result<bool> Header::insert_after(std::string_view anchor, std::string_view keyword,
                                  const Value& value, const std::optional<std::string>& comment) {
    return insert_anchored(anchor, 1, keyword, value, comment);
}

std::size_t Header::remove(std::string_view key) {
    const std::string keyword = stored_keyword(key);
    const Layout& l = layout();
    // Every card of the keyword, whatever its kind, is listed under it; only value cards go.
    std::vector<std::size_t> dropped;
    for (std::size_t n : l.spans_of(keyword)) {
        if (card_kind(image_at(bytes_, l.spans[n].start), true) == CardKind::Value) {
            dropped.push_back(n);
        }
    }
    if (dropped.empty()) return 0;
    // Close the gaps in place, front to back: the spans are contiguous and cover every image.
    auto out = bytes_.begin() + static_cast<std::ptrdiff_t>(l.spans[dropped.front()].start);
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        const std::size_t from = l.spans[dropped[i]].end;
        const std::size_t to =
            i + 1 < dropped.size() ? l.spans[dropped[i + 1]].start : bytes_.size();
        out = std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(from),
                        bytes_.begin() + static_cast<std::ptrdiff_t>(to), out);
    }
    bytes_.erase(out, bytes_.end());
    Layout* built = layout_.get();
    if (built == nullptr || !built->remove_spans(bytes_, dropped, keyword)) invalidate_layout();
    return dropped.size();
}

Result<std::size_t> Header::rename_keyword(std::string_view old_keyword,
                                           std::string_view new_keyword) {
    VEXLO_TRY(validate_keyword(new_keyword));
    if (is_commentary_keyword(new_keyword)) {
        return fail(Error::header("cannot rename value cards to commentary keyword `" +
                                  std::string(new_keyword) + "`"));
    }
    // Format every replacement first, so that a failure leaves the header as it was.
    const std::string stored = stored_keyword(old_keyword);
    const Layout& l = layout();
    std::vector<std::pair<std::size_t, Bytes>> renamed;
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        ByteSpan first = image_at(bytes_, l.spans[n].start);
        const CardKind kind = card_kind(first, true);
        if (kind != CardKind::End && kind != CardKind::Value) continue;
        if (!card_keyword_eq(first, true, stored)) continue;
        auto vc = view_at(n).value_and_comment();
        if (!vc) continue;
        VEXLO_ASSIGN_OR_RETURN(Bytes images,
                               format_value_card(new_keyword, vc->value, vc->comment));
        renamed.emplace_back(n, std::move(images));
    }
    if (renamed.empty()) return 0;
    // Rebuilt in one pass: the same bytes as replacing each card in turn from the last one back.
    Bytes out;
    out.reserve(bytes_.size());
    std::size_t next = 0;
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        const Span& s = l.spans[n];
        if (next < renamed.size() && renamed[next].first == n) {
            const Bytes& images = renamed[next++].second;
            out.insert(out.end(), images.begin(), images.end());
        } else {
            out.insert(out.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(s.start),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(s.end));
        }
    }
    bytes_ = std::move(out);
    invalidate_layout();
    return renamed.size();
}

// --- starting headers ---

Header Header::new_primary() {
    Header h;
    Result<Header*> built =
        h.push_card("SIMPLE", Value::make_logical(true), std::string("conforming FITS file"));
    if (built) built = h.push_card("BITPIX", Value::make_integer(8), std::nullopt);
    if (built) built = h.push_card("NAXIS", Value::make_integer(0), std::nullopt);
    if (built) {
        built = h.push_card("EXTEND", Value::make_logical(true),
                            std::string("FITS dataset may contain extensions"));
    }
    expect_valid(built, "fixed cards of an empty primary header are valid");
    return h;
}

Header Header::new_image_extension() {
    Header h;
    Result<Header*> built = h.push_card("XTENSION", Value::make_string("IMAGE"), std::nullopt);
    if (built) built = h.push_card("BITPIX", Value::make_integer(8), std::nullopt);
    if (built) built = h.push_card("NAXIS", Value::make_integer(0), std::nullopt);
    if (built) built = h.push_card("PCOUNT", Value::make_integer(0), std::nullopt);
    if (built) built = h.push_card("GCOUNT", Value::make_integer(1), std::nullopt);
    expect_valid(built, "fixed cards of an empty IMAGE extension are valid");
    return h;
}

}  // namespace vexlo
