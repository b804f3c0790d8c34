// Header record: ownership of the keyword layout, lookups, and whole-block parsing and
// serialisation.
#include "header/header.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "util/text.hpp"

namespace vexlo {

namespace {

ByteSpan image_at(ByteSpan bytes, std::size_t pos) {
    return bytes.subspan(pos, kCardLen);
}

// The first image of a span (the whole span when a broken one is shorter).
ByteSpan first_image(const CardView& view) {
    return view.bytes.first(std::min(view.bytes.size(), kCardLen));
}

bool indexable(ByteSpan image) {
    CardKind kind = card_kind(image, true);
    return kind == CardKind::End || kind == CardKind::Value;
}

std::string dashes_to_underscores(std::string_view key) {
    std::string out(key);
    std::replace(out.begin(), out.end(), '-', '_');
    return out;
}

}  // namespace

bool continue_attaches_after(ByteSpan image) {
    auto parsed = read_card(image, 0, true);
    if (!parsed) return false;
    ValueAndComment vc = parse_value_lenient(parsed->keyword(), parsed->body());
    return vc.value.is(Value::Kind::String) && !vc.value.text.empty() &&
           vc.value.text.back() == '&';
}

// --- layout ---

Layout Layout::build(ByteSpan bytes) {
    Layout layout;
    layout.reserve(bytes.size() / kCardLen);
    layout.extend(bytes, 0);
    return layout;
}

void Layout::reserve(std::size_t images) {
    spans.reserve(images);
    ids.reserve(images);
    position.reserve(images);
    indexable.reserve(images);
    keys.reserve(images);
}

std::uint32_t Layout::add_id(std::size_t n) {
    const auto id = static_cast<std::uint32_t>(position.size());
    position.push_back(static_cast<std::uint32_t>(n));
    indexable.push_back(0);
    return id;
}

void Layout::extend(ByteSpan bytes, std::size_t from) {
    // The spans cover every whole image up to their end, so a rebuild would resume there.
    // That is `from` whenever the earlier bytes were whole images; a caller that claims
    // new bytes inside the covered range has changed them, and only a rebuild is sound.
    const std::size_t covered = spans.empty() ? 0 : spans.back().end;
    if (from < covered || covered > bytes.size()) {
        *this = build(bytes);
        return;
    }
    for (std::size_t pos = covered; bytes.size() - pos >= kCardLen; pos += kCardLen)
        add_image(bytes, pos, card_head(image_at(bytes, pos)));
}

void Layout::add_image(ByteSpan bytes, std::size_t pos, const CardHead& head) {
    // A continuation joined to the last span leaves its first image, and so the index,
    // unchanged.
    if (!spans.empty() && head.kind == CardKind::Continue &&
        continue_attaches_after(image_at(bytes, spans.back().end - kCardLen))) {
        spans.back().end += kCardLen;
        return;
    }
    spans.push_back(Span{pos, pos + kCardLen});
    ids.push_back(add_id(spans.size() - 1));
    index_span(head, spans.size() - 1);
}

void Layout::index_span(const CardHead& head, std::size_t n) {
    const std::uint32_t id = ids[n];
    const std::string_view key = head.keyword();
    // An empty keyword is either a blank-keyword card or one whose keyword cannot be
    // read; only the first is filed under the empty key.
    if (key.empty() && !head.readable) return;
    indexable[id] = head.kind == CardKind::End || head.kind == CardKind::Value ? 1 : 0;
    IdList& list = keys.at(key);
    if (list.empty()) {
        list.first = id;
        return;
    }
    std::vector<std::uint32_t>& rest = keys.rest_mut(list);
    if (n < position[list.first]) {
        rest.insert(rest.begin(), list.first);
        list.first = id;
        return;
    }
    // Spans are mostly filed in order: the end is the usual place.
    auto at = rest.end();
    while (at != rest.begin() && position[*(at - 1)] > n)
        --at;
    rest.insert(at, id);
}

void Layout::renumber_from(std::size_t n) {
    for (; n < ids.size(); ++n)
        position[ids[n]] = static_cast<std::uint32_t>(n);
}

std::vector<std::uint32_t> Layout::ids_of(const IdList& list) const {
    std::vector<std::uint32_t> out;
    if (list.empty()) return out;
    const std::span<const std::uint32_t> rest = keys.rest(list);
    out.reserve(1 + rest.size());
    out.push_back(list.first);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

std::optional<std::size_t> Layout::first_value(std::string_view key) const {
    const IdList* list = key.empty() ? nullptr : keys.find(key);
    if (list == nullptr) return std::nullopt;
    if (indexable[list->first] != 0) return position[list->first];
    for (const std::uint32_t id : keys.rest(*list)) {
        if (indexable[id] != 0) return position[id];
    }
    return std::nullopt;
}

std::optional<std::size_t> Layout::first_span(std::string_view key) const {
    const IdList* list = keys.find(key);
    if (list == nullptr) return std::nullopt;
    return position[list->first];
}

std::vector<std::size_t> Layout::spans_of(std::string_view key) const {
    std::vector<std::size_t> out;
    const IdList* list = keys.find(key);
    if (list == nullptr) return out;
    for (const std::uint32_t id : ids_of(*list))
        out.push_back(position[id]);
    return out;
}

std::map<std::string, std::size_t, std::less<>> Layout::index() const {
    std::map<std::string, std::size_t, std::less<>> out;
    keys.for_each([&](std::string_view key, const IdList&) {
        if (auto n = first_value(key)) out.emplace(std::string(key), *n);
    });
    return out;
}

std::map<std::string, std::vector<std::size_t>, std::less<>> Layout::occurrences() const {
    std::map<std::string, std::vector<std::size_t>, std::less<>> out;
    keys.for_each(
        [&](std::string_view key, const IdList&) { out.emplace(std::string(key), spans_of(key)); });
    return out;
}

namespace {

// True when the image at byte `pos` is a continuation joining the card before it.
bool joins_previous(ByteSpan bytes, std::size_t pos) {
    return pos >= kCardLen && bytes.size() - pos >= kCardLen &&
           card_kind(image_at(bytes, pos), true) == CardKind::Continue &&
           continue_attaches_after(image_at(bytes, pos - kCardLen));
}

}  // namespace

bool Layout::insert_images(ByteSpan bytes, std::size_t span, std::size_t at, std::size_t len) {
    if (len == 0) return true;
    span = std::min(span, spans.size());
    // The new images must begin a card of their own, and the card after them must stay one.
    if (joins_previous(bytes, at) || joins_previous(bytes, at + len)) return false;
    std::vector<Span> fresh;
    for (std::size_t pos = at; pos < at + len; pos += kCardLen) {
        if (!fresh.empty() && joins_previous(bytes, pos)) {
            fresh.back().end += kCardLen;
        } else {
            fresh.push_back(Span{pos, pos + kCardLen});
        }
    }
    for (std::size_t n = span; n < spans.size(); ++n) {
        spans[n].start += len;
        spans[n].end += len;
    }
    const auto where = static_cast<std::ptrdiff_t>(span);
    spans.insert(spans.begin() + where, fresh.begin(), fresh.end());
    const std::size_t added = fresh.size();
    std::vector<std::uint32_t> fresh_ids(added);
    for (std::size_t k = 0; k < added; ++k)
        fresh_ids[k] = add_id(span + k);
    ids.insert(ids.begin() + where, fresh_ids.begin(), fresh_ids.end());
    renumber_from(span + added);
    for (std::size_t n = span; n < span + added; ++n)
        index_span(card_head(image_at(bytes, spans[n].start)), n);
    return true;
}

bool Layout::remove_spans(ByteSpan bytes, const std::vector<std::size_t>& dropped,
                          const std::string& keyword) {
    if (dropped.empty()) return true;
    // A survivor that followed a dropped span must not now join the card before it.
    std::size_t cut = 0;
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        const std::size_t d = dropped[i];
        cut += spans[d].end - spans[d].start;
        const bool next_dropped = i + 1 < dropped.size() && dropped[i + 1] == d + 1;
        if (d + 1 < spans.size() && !next_dropped &&
            joins_previous(bytes, spans[d + 1].start - cut)) {
            return false;
        }
    }
    // Close the gaps in the per-span arrays in place, from the first dropped span on.
    cut = 0;
    std::size_t out = dropped.front();
    std::size_t next = 0;
    for (std::size_t n = dropped.front(); n < spans.size(); ++n) {
        if (next < dropped.size() && dropped[next] == n) {
            cut += spans[n].end - spans[n].start;
            position[ids[n]] = kGone;
            ++next;
            continue;
        }
        spans[out] = Span{spans[n].start - cut, spans[n].end - cut};
        ids[out] = ids[n];
        ++out;
    }
    spans.resize(out);
    ids.resize(out);
    renumber_from(dropped.front());
    // Only the keyword's own entry named a dropped span.
    if (IdList* list = keys.find(keyword)) {
        std::vector<std::uint32_t> kept = ids_of(*list);
        std::erase_if(kept, [&](std::uint32_t id) { return position[id] == kGone; });
        list->first = kept.empty() ? kNoId : kept.front();
        if (list->more != kNoId || kept.size() > 1) {
            keys.rest_mut(*list).assign(kept.begin() + (kept.empty() ? 0 : 1), kept.end());
        }
    }
    return true;
}

// --- ownership ---

Header::Header(Bytes bytes, Layout layout) : bytes_(std::move(bytes)) {
    layout_.fill(std::make_unique<Layout>(std::move(layout)));
}

Header::Header(Header&& other) noexcept
    : bytes_(std::move(other.bytes_)), layout_(std::move(other.layout_)) {
    other.bytes_.clear();
}

Header& Header::operator=(const Header& other) {
    if (this == &other) return *this;
    FillOnce<Layout> copy(other.layout_);
    bytes_ = other.bytes_;
    layout_ = std::move(copy);
    return *this;
}

Header& Header::operator=(Header&& other) noexcept {
    if (this == &other) return *this;
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
    layout_ = std::move(other.layout_);
    return *this;
}

Bytes Header::take_bytes() && {
    layout_.reset();
    Bytes out = std::move(bytes_);
    bytes_.clear();
    return out;
}

const Layout& Header::layout() const {
    if (const Layout* built = layout_.get()) return *built;
    // Concurrent first readers may each build one; the first store wins.
    return *layout_.fill(std::make_unique<Layout>(Layout::build(bytes_)));
}

CardView Header::view_at(std::size_t span) const {
    const Layout& l = layout();
    if (span >= l.spans.size()) return CardView{};
    const Span& s = l.spans[span];
    if (s.end > bytes_.size() || s.start > s.end) return CardView{};
    return CardView{ByteSpan(bytes_).subspan(s.start, s.end - s.start)};
}

// --- lookups ---

namespace {

// For a HIERARCH key no card has exactly: the long name of the first card (in header order)
// equal to it without regard to letter case. Long names keep the case their writer chose,
// while callers often upper-case every key; the case-blind match keeps such cards reachable.
// Nothing for any other key, so ordinary misses cost no more than before.
const std::string* hierarch_spelling(const Layout& l, std::string_view key) {
    static constexpr std::string_view kHierarch = "HIERARCH ";
    if (!key.starts_with(kHierarch) || l.files(key)) return nullptr;
    const std::string* best = nullptr;
    std::size_t first = 0;
    const auto& names = l.keys.long_keys();
    for (auto it = names.lower_bound(kHierarch);
         it != names.end() && it->first.starts_with(kHierarch); ++it) {
        if (it->second.empty() || !ascii_iequal(it->first, key)) continue;
        const std::size_t n = l.position[it->second.first];
        if (best == nullptr || n < first) {
            best = &it->first;
            first = n;
        }
    }
    return best;
}

}  // namespace

std::string Header::stored_keyword(std::string_view key) const {
    const std::string* spelling = hierarch_spelling(layout(), key);
    return spelling != nullptr ? *spelling : std::string(key);
}

std::optional<CardView> Header::get(std::string_view key) const {
    const Layout& l = layout();
    std::optional<std::size_t> n = l.first_value(key);
    if (!n && key.find('-') != std::string_view::npos) {
        n = l.first_value(dashes_to_underscores(key));
    }
    if (!n) {
        if (const std::string* spelling = hierarch_spelling(l, key)) n = l.first_value(*spelling);
    }
    if (!n) return std::nullopt;
    return view_at(*n);
}

std::optional<Value> Header::get_value(std::string_view key) const {
    auto view = get(key);
    if (!view) return std::nullopt;
    return view->value();
}

bool Header::contains_exact(std::string_view key) const {
    // Every keyword with a first value card is filed among the occurrences too.
    return layout().files(key);
}

bool Header::contains(std::string_view key) const {
    if (contains_exact(key)) return true;
    if (key.find('-') != std::string_view::npos && contains_exact(dashes_to_underscores(key))) {
        return true;
    }
    const std::string* spelling = hierarch_spelling(layout(), key);
    return spelling != nullptr && contains_exact(*spelling);
}

std::vector<CardView> Header::get_all(std::string_view key) const {
    const Layout& l = layout();
    std::vector<CardView> out;
    std::vector<std::size_t> spans = l.spans_of(key);
    if (spans.empty()) {
        const std::string* spelling = hierarch_spelling(l, key);
        if (spelling == nullptr) return out;
        spans = l.spans_of(*spelling);
    }
    out.reserve(spans.size());
    for (std::size_t n : spans)
        out.push_back(view_at(n));
    return out;
}

std::vector<CardView> Header::commentary_views(std::string_view key) const {
    const Layout& l = layout();
    std::vector<CardView> out;
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        CardView view = view_at(n);
        ByteSpan first = first_image(view);
        CardKind kind = card_kind(first, true);
        if ((kind == CardKind::Commentary || kind == CardKind::Continue) &&
            card_keyword_eq(first, true, key)) {
            out.push_back(view);
        }
    }
    return out;
}

std::vector<std::string> Header::keywords() const {
    const Layout& l = layout();
    std::vector<std::string> out;
    out.reserve(l.spans.size());
    for (const Span& s : l.spans)
        out.push_back(card_keyword(image_at(bytes_, s.start), true));
    return out;
}

std::set<std::string> Header::keyword_set() const {
    const Layout& l = layout();
    std::set<std::string> out;
    for (const Span& s : l.spans)
        out.insert(card_keyword(image_at(bytes_, s.start), true));
    return out;
}

std::vector<CardEntry> Header::entries() const {
    const Layout& l = layout();
    std::vector<CardEntry> out;
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        CardView view = view_at(n);
        if (!indexable(first_image(view))) continue;
        if (auto entry = view.entry()) out.push_back(std::move(*entry));
    }
    return out;
}

std::vector<std::pair<std::string, Bytes>> Header::raw_cards() const {
    const Layout& l = layout();
    std::vector<std::pair<std::string, Bytes>> out;
    out.reserve(l.spans.size());
    for (std::size_t n = 0; n < l.spans.size(); ++n) {
        CardView view = view_at(n);
        out.emplace_back(card_keyword(first_image(view), true),
                         Bytes(view.bytes.begin(), view.bytes.end()));
    }
    return out;
}

Bytes Header::span_bytes(std::size_t start, std::size_t end) const {
    // A range outside the stored bytes is a caller error; clamp it rather than read past.
    end = std::min(end, bytes_.size());
    start = std::min(start, end);
    return Bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(start),
                 bytes_.begin() + static_cast<std::ptrdiff_t>(end));
}

// --- blocks ---

namespace {

// One compare against a blank image: most of a header's last block is blank fill, read on
// every parse.
bool all_blank(ByteSpan image) {
    static constexpr std::array<std::uint8_t, kCardLen> kBlank = [] {
        std::array<std::uint8_t, kCardLen> a{};
        a.fill(0x20);
        return a;
    }();
    return image.size() == kCardLen && std::memcmp(image.data(), kBlank.data(), kCardLen) == 0;
}

bool blank_or_nul(ByteSpan image) {
    return std::all_of(image.begin(), image.end(),
                       [](std::uint8_t b) { return b == 0x20 || b == 0x00; });
}

}  // namespace

namespace {

// The byte count from `start` to the first image that may be an END card, or to the end of
// the buffer when none may be: a guess for reserving exactly the header's storage, never a
// bound (an opened file keeps many headers, so slack would cost as much as the cards).
std::size_t cards_guess(ByteSpan buffer, std::uint64_t start) {
    std::uint64_t pos = start;
    for (; buffer.size() - pos >= kCardLen; pos += kCardLen) {
        if (ascii_istarts_with(as_chars(buffer.subspan(pos)), "END")) break;
    }
    return static_cast<std::size_t>(pos - start);
}

// The kind read_card gives an image, or its error, checking the value of a strict card when
// asked; lenient reading needs no card text.
Result<CardKind> image_kind(ByteSpan image, std::uint64_t offset, bool lenient,
                            const CardHead& head, bool check_value) {
    // Lenient reading fails only on an END keyword followed by more than blanks.
    if (lenient && (head.kind == CardKind::End || head.keyword() != "END")) return head.kind;
    VEXLO_ASSIGN_OR_RETURN(const CardText card, read_card(image, offset, lenient));
    if (check_value && !lenient &&
        (card.kind == CardKind::Value || card.kind == CardKind::Continue)) {
        VEXLO_TRY(parse_value_strict(card.keyword(), card.body()));
    }
    return card.kind;
}

// Reads whole blocks of `buffer` from `start` through the block holding the END card,
// checking every card, and hands each card before END to keep(image, pos, head), `pos`
// counting from `start`; returns the bytes consumed.
template <class Keep>
Result<std::uint64_t> read_blocks(ByteSpan buffer, std::uint64_t start, bool lenient, Keep keep) {
    if (start > buffer.size()) {
        return fail(Error::block(start, "header start beyond end of buffer"));
    }
    std::size_t kept = 0;
    for (std::uint64_t block = start; buffer.size() - block >= kBlockLen; block += kBlockLen) {
        bool end_seen = false;
        for (std::size_t i = 0; i < kCardsPerBlock; ++i) {
            const std::uint64_t offset = block + i * kCardLen;
            ByteSpan image = buffer.subspan(offset, kCardLen);
            // Blank fill after END always parses and is always allowed: nothing to check.
            if (end_seen && all_blank(image)) continue;
            // The same reading files the card in the index, so the first lookup finds the
            // index ready.
            const CardHead head = card_head(image);
            VEXLO_ASSIGN_OR_RETURN(const CardKind kind,
                                   image_kind(image, offset, lenient, head, !end_seen));
            if (end_seen) {
                if (!lenient && !blank_or_nul(image)) {
                    return fail(Error::end_card_misplaced(block));
                }
                continue;
            }
            if (kind == CardKind::End) {
                end_seen = true;
                continue;
            }
            keep(image, kept, head);
            kept += kCardLen;
        }
        if (end_seen) return block + kBlockLen - start;
    }
    return fail(Error::header("no END card found in header"));
}

}  // namespace

Result<std::pair<Header, std::uint64_t>> Header::parse(ByteSpan buffer, std::uint64_t start,
                                                       bool lenient) {
    Bytes bytes;
    Layout layout;
    if (start <= buffer.size()) {
        const std::size_t guess = cards_guess(buffer, start);
        bytes.reserve(guess);
        layout.reserve(guess / kCardLen);
    }
    const auto keep = [&](ByteSpan image, std::size_t pos, const CardHead& head) {
        bytes.insert(bytes.end(), image.begin(), image.end());
        layout.add_image(bytes, pos, head);
    };
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t consumed, read_blocks(buffer, start, lenient, keep));
    return std::pair<Header, std::uint64_t>(Header(std::move(bytes), std::move(layout)), consumed);
}

Result<std::pair<Header, Bytes>> Header::parse_owned(Bytes blocks, bool lenient) {
    Layout layout;
    layout.reserve(cards_guess(blocks, 0) / kCardLen);
    std::size_t kept = 0;
    // The cards before END lead the blocks, so the header's bytes are the blocks themselves,
    // cut after the last of them.
    const auto index = [&](ByteSpan, std::size_t pos, const CardHead& head) {
        layout.add_image(blocks, pos, head);
        kept = pos + kCardLen;
    };
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t consumed, read_blocks(blocks, 0, lenient, index));
    const auto cut = blocks.begin() + static_cast<std::ptrdiff_t>(kept);
    Bytes rest(cut, blocks.begin() + static_cast<std::ptrdiff_t>(consumed));
    blocks.erase(cut, blocks.end());
    return std::pair<Header, Bytes>(Header(std::move(blocks), std::move(layout)), std::move(rest));
}

namespace {

// An END keyword (any letter case when lenient) followed by blanks through column 8.
bool is_end_card(std::string_view card, bool lenient) {
    const bool end = lenient ? ascii_istarts_with(card, "END") : card.starts_with("END");
    return end && card.substr(3, 5) == "     ";
}

}  // namespace

Result<Header> Header::parse_text(std::string_view given, bool lenient) {
    // Text that is already whole blocks holding an END card parses as given, uncopied.
    if (given.size() % kBlockLen == 0) {
        bool has_end = false;
        for (std::size_t pos = 0; pos < given.size() && !has_end; pos += kCardLen) {
            has_end = is_end_card(given.substr(pos, kCardLen), lenient);
        }
        if (has_end) {
            VEXLO_ASSIGN_OR_RETURN(auto parsed, parse(as_bytes(given), 0, lenient));
            return std::move(parsed.first);
        }
    }
    std::string text(given);
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
    VEXLO_ASSIGN_OR_RETURN(auto parsed, parse(as_bytes(text), 0, lenient));
    return std::move(parsed.first);
}

Bytes Header::to_bytes() const {
    static constexpr std::string_view kEnd = "END";
    const std::size_t with_end = bytes_.size() + kCardLen;
    const auto total = static_cast<std::size_t>(padded_len(with_end));
    Bytes out;
    out.reserve(total);
    out.insert(out.end(), bytes_.begin(), bytes_.end());
    append_bytes(out, kEnd);
    out.resize(total, 0x20);
    return out;
}

}  // namespace vexlo
