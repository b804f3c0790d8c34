// Header record: ownership of the keyword layout, lookups, and whole-block parsing and
// serialisation.
#include "header/header.hpp"

#include <algorithm>
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
    auto parsed = parse_card(image, 0, true);
    if (!parsed) return false;
    ValueAndComment vc = parse_value_lenient(parsed->keyword, parsed->body);
    return vc.value.is(Value::Kind::String) && !vc.value.text.empty() &&
           vc.value.text.back() == '&';
}

// --- layout ---

Layout Layout::build(ByteSpan bytes) {
    Layout layout;
    layout.extend(bytes, 0);
    return layout;
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
    const std::size_t first_new = spans.size();
    for (std::size_t pos = covered; bytes.size() - pos >= kCardLen; pos += kCardLen) {
        ByteSpan image = image_at(bytes, pos);
        if (!spans.empty() && card_kind(image, true) == CardKind::Continue &&
            continue_attaches_after(image_at(bytes, spans.back().end - kCardLen))) {
            spans.back().end += kCardLen;
        } else {
            spans.push_back(Span{pos, pos + kCardLen});
        }
    }
    // A continuation joined to the old last span leaves its first image, and so the index,
    // unchanged; only the new spans need indexing.
    for (std::size_t n = first_new; n < spans.size(); ++n)
        index_span(bytes, n);
}

void Layout::index_span(ByteSpan bytes, std::size_t n) {
    ByteSpan first = image_at(bytes, spans[n].start);
    std::string key = card_keyword(first, true);
    // An empty keyword is either a blank-keyword card or one whose keyword cannot be
    // read; only the first matches the empty key.
    if (key.empty() && !card_keyword_eq(first, true, key)) return;
    if (!key.empty() && indexable(first)) {
        auto [it, added] = index.try_emplace(key, n);
        if (!added && n < it->second) it->second = n;
    }
    std::vector<std::size_t>& list = occurrences[std::move(key)];
    list.insert(std::upper_bound(list.begin(), list.end(), n), n);
}

template <class Renumber>
void Layout::renumber(Renumber to) {
    for (auto& entry : index)
        entry.second = to(entry.second);
    for (auto& entry : occurrences) {
        for (std::size_t& n : entry.second)
            n = to(n);
    }
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
    spans.insert(spans.begin() + static_cast<std::ptrdiff_t>(span), fresh.begin(), fresh.end());
    const std::size_t added = fresh.size();
    renumber([&](std::size_t n) { return n >= span ? n + added : n; });
    for (std::size_t n = span; n < span + added; ++n)
        index_span(bytes, n);
    return true;
}

bool Layout::remove_spans(ByteSpan bytes, const std::vector<std::size_t>& dropped,
                          const std::string& keyword) {
    if (dropped.empty()) return true;
    std::vector<Span> kept;
    kept.reserve(spans.size() - dropped.size());
    std::vector<std::size_t> rejoined;  // surviving spans that followed a dropped one
    std::size_t cut = 0;
    std::size_t next = 0;
    for (std::size_t n = 0; n < spans.size(); ++n) {
        if (next < dropped.size() && dropped[next] == n) {
            cut += spans[n].end - spans[n].start;
            ++next;
            continue;
        }
        if (n > 0 && next > 0 && dropped[next - 1] == n - 1) rejoined.push_back(kept.size());
        kept.push_back(Span{spans[n].start - cut, spans[n].end - cut});
    }
    for (std::size_t n : rejoined) {
        if (joins_previous(bytes, kept[n].start)) return false;
    }
    spans = std::move(kept);
    auto found = occurrences.find(keyword);
    if (found != occurrences.end()) {
        std::erase_if(found->second, [&](std::size_t n) {
            return std::binary_search(dropped.begin(), dropped.end(), n);
        });
        if (found->second.empty()) occurrences.erase(found);
    }
    renumber([&](std::size_t n) {
        const auto below = std::lower_bound(dropped.begin(), dropped.end(), n) - dropped.begin();
        return n - static_cast<std::size_t>(below);
    });
    // Only the keyword's own entry can have named a dropped span.
    index.erase(keyword);
    found = occurrences.find(keyword);
    if (found == occurrences.end() || keyword.empty()) return true;
    for (std::size_t n : found->second) {
        if (indexable(image_at(bytes, spans[n].start))) {
            index.emplace(keyword, n);
            break;
        }
    }
    return true;
}

// --- ownership ---

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
    if (!key.starts_with(kHierarch) || l.occurrences.contains(key)) return nullptr;
    const std::string* best = nullptr;
    std::size_t first = 0;
    for (auto it = l.occurrences.lower_bound(kHierarch);
         it != l.occurrences.end() && it->first.starts_with(kHierarch); ++it) {
        if (!ascii_iequal(it->first, key) || it->second.empty()) continue;
        if (best == nullptr || it->second.front() < first) {
            best = &it->first;
            first = it->second.front();
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
    auto it = l.index.find(key);
    if (it == l.index.end() && key.find('-') != std::string_view::npos) {
        it = l.index.find(dashes_to_underscores(key));
    }
    if (it == l.index.end()) {
        if (const std::string* spelling = hierarch_spelling(l, key)) it = l.index.find(*spelling);
    }
    if (it == l.index.end()) return std::nullopt;
    return view_at(it->second);
}

std::optional<Value> Header::get_value(std::string_view key) const {
    auto view = get(key);
    if (!view) return std::nullopt;
    return view->value();
}

bool Header::contains_exact(std::string_view key) const {
    const Layout& l = layout();
    return l.index.contains(key) || l.occurrences.contains(key);
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
    auto it = l.occurrences.find(key);
    if (it == l.occurrences.end()) {
        const std::string* spelling = hierarch_spelling(l, key);
        if (spelling == nullptr) return out;
        it = l.occurrences.find(*spelling);
    }
    out.reserve(it->second.size());
    for (std::size_t n : it->second)
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

bool all_blank(ByteSpan image) {
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0x20; });
}

bool blank_or_nul(ByteSpan image) {
    return std::all_of(image.begin(), image.end(),
                       [](std::uint8_t b) { return b == 0x20 || b == 0x00; });
}

}  // namespace

Result<std::pair<Header, std::uint64_t>> Header::parse(ByteSpan buffer, std::uint64_t start,
                                                       bool lenient) {
    if (start > buffer.size()) {
        return fail(Error::block(start, "header start beyond end of buffer"));
    }
    Bytes bytes;
    for (std::uint64_t block = start; buffer.size() - block >= kBlockLen; block += kBlockLen) {
        bool end_seen = false;
        for (std::size_t i = 0; i < kCardsPerBlock; ++i) {
            const std::uint64_t offset = block + i * kCardLen;
            ByteSpan image = buffer.subspan(offset, kCardLen);
            // Blank fill after END always parses and is always allowed: nothing to check.
            if (end_seen && all_blank(image)) continue;
            VEXLO_ASSIGN_OR_RETURN(ParsedCard card, parse_card(image, offset, lenient));
            if (end_seen) {
                if (!lenient && !blank_or_nul(image)) {
                    return fail(Error::end_card_misplaced(block));
                }
                continue;
            }
            if (card.kind == CardKind::End) {
                end_seen = true;
                continue;
            }
            if (!lenient && (card.kind == CardKind::Value || card.kind == CardKind::Continue)) {
                VEXLO_TRY(parse_value_strict(card.keyword, card.body));
            }
            bytes.insert(bytes.end(), image.begin(), image.end());
        }
        if (end_seen) {
            const std::uint64_t consumed = block + kBlockLen - start;
            return std::pair<Header, std::uint64_t>(Header(std::move(bytes)), consumed);
        }
    }
    return fail(Error::header("no END card found in header"));
}

namespace {

// An END keyword (any letter case when lenient) followed by blanks through column 8.
bool is_end_card(std::string_view card, bool lenient) {
    const std::string_view name = card.substr(0, 3);
    const bool end = lenient ? ascii_upper(name) == "END" : name == "END";
    return end && card.substr(3, 5) == "     ";
}

}  // namespace

Result<Header> Header::parse_text(std::string_view given, bool lenient) {
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
