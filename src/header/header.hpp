// The header of one HDU: raw card images plus a keyword index, built while parsing or on
// first lookup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "header/card.hpp"
#include "header/keyword_index.hpp"
#include "header/value.hpp"
#include "header/view.hpp"
#include "util/bytes.hpp"
#include "util/fill_once.hpp"

namespace vexlo {

// One logical card: [start, end) in Header bytes, a non-zero multiple of 80.
struct Span {
    std::size_t start = 0;
    std::size_t end = 0;
};

// The logical cards of a header and where each keyword's cards are. Every card has a
// stable id: the keyword index names ids, so inserting or removing cards moves only the
// flat per-card arrays behind the edit point (as the card bytes themselves move) and leaves
// every other keyword's entry alone.
struct Layout {
    static constexpr std::uint32_t kGone = 0xFFFFFFFFu;

    std::vector<Span> spans;
    std::vector<std::uint32_t> ids;       // span number -> stable id
    std::vector<std::uint32_t> position;  // stable id -> span number; kGone once removed
    std::vector<std::uint8_t> indexable;  // stable id -> its first image is an End or Value card
    // Keyword -> every span whose first image has that keyword, whatever its kind, in order.
    KeywordIndex keys;

    static Layout build(ByteSpan bytes);
    // Room for this many cards without growing.
    void reserve(std::size_t images);
    // Divides the images of bytes[from..] into spans and indexes them exactly as build
    // would, continuing from the existing last span.
    void extend(ByteSpan bytes, std::size_t from);
    // Edits that keep the layout equal to a fresh build of the edited bytes. Each returns
    // false, leaving the layout stale, when a continuation would join or leave a neighbouring
    // card: the caller rebuilds then.
    // `bytes` already holds `len` new bytes of whole images at byte `at`, which started span
    // `span` before the edit.
    bool insert_images(ByteSpan bytes, std::size_t span, std::size_t at, std::size_t len);
    // `bytes` is what remains once the spans numbered in `dropped` (ascending), whose first
    // images all have `keyword`, are cut out.
    bool remove_spans(ByteSpan bytes, const std::vector<std::size_t>& dropped,
                      const std::string& keyword);

    // The first span of `key` whose first image is an End or Value card (never for the
    // empty key).
    std::optional<std::size_t> first_value(std::string_view key) const;
    // The first span of `key`, whatever its kind.
    std::optional<std::size_t> first_span(std::string_view key) const;
    // Every span of `key`, in order.
    std::vector<std::size_t> spans_of(std::string_view key) const;
    bool files(std::string_view key) const { return keys.find(key) != nullptr; }
    // The index as plain maps by span number: keyword -> first_value, keyword -> spans_of.
    std::map<std::string, std::size_t, std::less<>> index() const;
    std::map<std::string, std::vector<std::size_t>, std::less<>> occurrences() const;

    // Adds the image at byte `pos` of `bytes`, the byte after the last span, whose card_head
    // is `head`: as a continuation of the last span or as a span of its own.
    void add_image(ByteSpan bytes, std::size_t pos, const CardHead& head);

  private:
    // Files span `n` (its id already assigned) under its keyword.
    void index_span(const CardHead& head, std::size_t n);
    std::uint32_t add_id(std::size_t n);
    // Puts every span from `n` on back at its number again after spans moved.
    void renumber_from(std::size_t n);
    std::vector<std::uint32_t> ids_of(const IdList& list) const;
};

// True when a CONTINUE image after `image` joins its logical card: the image's body reads
// leniently as a non-empty string ending in '&' (whatever its kind, so continuations chain).
bool continue_attaches_after(ByteSpan image);

struct ValidationReport;  // header/validate.hpp

enum class CommentaryKind : std::uint8_t {
    Comment = 0,
    History = 1,
    Blank = 2,
};

class Header {
  public:
    Header() = default;
    explicit Header(Bytes bytes) : bytes_(std::move(bytes)) {}
    // A header whose layout was built from `bytes` alongside them.
    Header(Bytes bytes, Layout layout);
    Header(const Header& other) = default;
    Header(Header&& other) noexcept;
    Header& operator=(const Header& other);
    Header& operator=(Header&& other) noexcept;
    ~Header() = default;

    // The stored card images, 80 bytes each, without END and fill.
    const Bytes& bytes() const { return bytes_; }
    // The stored card images moved out, leaving the header empty.
    Bytes take_bytes() &&;
    // The layout, built on first use (safe under concurrent first lookups).
    const Layout& layout() const;
    bool has_layout() const { return layout_.get() != nullptr; }
    std::size_t len() const { return layout().spans.size(); }
    CardView view_at(std::size_t span) const;

    // --- lookups ---
    std::optional<CardView> get(std::string_view key) const;
    std::optional<Value> get_value(std::string_view key) const;
    bool contains_exact(std::string_view key) const;
    bool contains(std::string_view key) const;
    std::vector<CardView> get_all(std::string_view key) const;
    // The spelling under which `key` is stored: `key` itself when a card has it, else, for a
    // HIERARCH key, the long name of the first card equal to it without regard to letter case.
    std::string stored_keyword(std::string_view key) const;
    std::vector<CardView> commentary_views(std::string_view key) const;
    std::vector<std::string> keywords() const;
    std::set<std::string> keyword_set() const;
    std::vector<CardEntry> entries() const;
    std::vector<std::pair<std::string, Bytes>> raw_cards() const;
    Bytes span_bytes(std::size_t start, std::size_t end) const;
    Header clone() const { return *this; }

    // --- blocks ---
    // Parses whole 2880-byte blocks from `start` through the END card's block; returns the
    // header and the bytes consumed.
    static Result<std::pair<Header, std::uint64_t>> parse(ByteSpan buffer, std::uint64_t start,
                                                          bool lenient);
    // parse() of blocks that start a header, taking them over instead of copying the cards:
    // the header keeps the leading card bytes, and the rest of the blocks it consumed (the
    // END card and the fill) comes back beside it, so that a caller holding only these can
    // put the blocks together again with take_bytes().
    static Result<std::pair<Header, Bytes>> parse_owned(Bytes blocks, bool lenient);
    // Parses header text as a user writes it: padded with blanks to whole cards, given an END
    // card when none of its cards is one, and padded to whole blocks.
    static Result<Header> parse_text(std::string_view text, bool lenient);
    // The cards, the END card and blank fill to whole blocks.
    Bytes to_bytes() const;

    // --- typed getters ---
    std::optional<std::int64_t> get_i64(std::string_view key) const;
    std::optional<double> get_f64(std::string_view key) const;
    std::optional<std::string> get_str(std::string_view key) const;
    Result<std::int64_t> require_i64(std::string_view key) const;
    Result<std::int64_t> bitpix() const;
    Result<std::uint64_t> naxis() const;
    Result<std::uint64_t> naxisn(std::uint64_t n) const;
    Result<std::vector<std::uint64_t>> axes() const;
    std::optional<std::int64_t> blank() const;
    bool is_random_groups() const;

    // --- units, times, observatory and validation (none of these fails) ---
    // The "[unit]" annotation of a card's comment; the key is trimmed and upper-cased.
    std::optional<std::string> unit_for(std::string_view key) const;
    std::optional<double> value_in_unit(std::string_view key, std::string_view unit) const;
    std::optional<double> value_in_si(std::string_view key) const;
    std::string time_sys() const;   // TIMESYS trimmed and upper-cased, suffix kept; "UTC"
    std::string time_unit() const;  // TIMEUNIT trimmed, case kept; "s"
    std::optional<double> time_in_seconds(std::string_view key) const;
    std::optional<double> mjd_ref() const;  // in the header's own time scale
    std::optional<double> date_obs_with_time(std::string_view key) const;
    std::optional<double> mjd_obs_utc() const;
    std::optional<double> mjd_begin_utc() const;
    std::optional<double> mjd_end_utc() const;
    std::optional<double> mjd_avg_utc() const;
    std::optional<std::array<double, 3>> obs_ecef() const;      // metres
    std::optional<std::array<double, 3>> obs_geodetic() const;  // deg, deg, metres (WGS84)
    ValidationReport validate(bool fix) const;

    // --- keyword classes ---
    std::vector<std::string> tile_table_keywords() const;

    // --- editing (exclusive access) ---
    void push_raw(ByteSpan images);
    void insert_raw(std::size_t span, ByteSpan images);
    void replace_raw(std::size_t span, ByteSpan images);
    void invalidate_layout();

    Result<Header*> push_card(std::string_view keyword, const Value& value,
                              const std::optional<std::string>& comment);
    Result<Header*> add_commentary(CommentaryKind kind, std::string_view text);
    Result<bool> set(std::string_view keyword, const Value& value,
                     const std::optional<std::string>& comment);
    Result<bool> set_real(std::string_view keyword, double value,
                          const std::optional<std::string>& comment);
    // set() without a value: the card set() would replace keeps its value (taking `comment`
    // when one is given); a keyword without one is added with an undefined value.
    Result<bool> set_keeping_value(std::string_view keyword,
                                   const std::optional<std::string>& comment);
    Result<Header*> insert(std::size_t span, std::string_view keyword, const Value& value,
                           const std::optional<std::string>& comment);
    Result<bool> insert_before(std::string_view anchor, std::string_view keyword,
                               const Value& value, const std::optional<std::string>& comment);
    Result<bool> insert_after(std::string_view anchor, std::string_view keyword, const Value& value,
                              const std::optional<std::string>& comment);
    std::size_t remove(std::string_view keyword);
    Result<std::size_t> rename_keyword(std::string_view old_keyword, std::string_view new_keyword);

    static Header new_primary();
    static Header new_image_extension();

  private:
    // Inserts before the anchor's span (after = 0) or after it (after = 1); appends and
    // returns false when the anchor is absent.
    Result<bool> insert_anchored(std::string_view anchor, std::size_t after,
                                 std::string_view keyword, const Value& value,
                                 const std::optional<std::string>& comment);

    Bytes bytes_;
    // Filled at most once between edits, dropped by edits.
    FillOnce<Layout> layout_;
};

// The six valid BITPIX values, in the order of the pixel types (u8, i16, i32, i64, f32, f64).
inline constexpr std::array<std::int64_t, 6> kBitpixValues = {8, 16, 32, 64, -32, -64};
constexpr bool is_valid_bitpix(std::int64_t v) {
    for (const std::int64_t b : kBitpixValues) {
        if (b == v) return true;
    }
    return false;
}

// An indexed keyword such as NAXIS2 or TFORM10: the root followed by n in decimal.
std::string indexed_keyword(std::string_view root, std::uint64_t n);
// Whether `keyword` is `root` followed by one or more decimal digits.
bool is_indexed_keyword(std::string_view keyword, std::string_view root);

// Structural and checksum keywords that writers compute themselves.
bool is_reserved_keyword(std::string_view keyword);
// The cards of the data's kind and shape (END SIMPLE BITPIX EXTEND PCOUNT GCOUNT GROUPS
// XTENSION NAXIS NAXISn, n of one to three digits), which header edits may not set, insert,
// rename or delete; surrounding white space is ignored, letter case is not.
bool is_structural_keyword(std::string_view keyword);
// Keywords the binary table of a tile-compressed image defines itself.
bool is_tile_table_keyword(std::string_view keyword);

}  // namespace vexlo
