// Builders of new HDUs from values in memory: images from typed pixels, binary tables from
// column descriptions plus encoded rows and heap, ASCII tables from text, integer and real
// columns. Each ends in the typed HDU record, which into_parts() turns into an OwnedHdu for
// the writer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "hdu/ascii_table.hpp"
#include "hdu/bintable.hpp"
#include "hdu/image.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// ---- images ----

// The mandatory cards of an image: SIMPLE (primary) or XTENSION = 'IMAGE', BITPIX, NAXIS,
// NAXISn (NAXIS1 first), then EXTEND (primary) or PCOUNT = 0 and GCOUNT = 1. An axis length
// beyond the signed 64-bit range is an Error::Data.
Result<Header> image_header(Bitpix bitpix, std::span<const std::uint64_t> axes, bool primary);

// The memory of a host array of pixels as the image encoder walks it, in C order (last axis
// fastest): outer axes (length and byte stride, outermost first), then the innermost run of
// elements, `run_stride` bytes apart. Unit axes are left out and contiguous neighbours merged
// into the run by whoever describes the array.
struct HostPixels {
    const std::uint8_t* base = nullptr;
    std::vector<std::uint64_t> outer_shape;
    std::vector<std::ptrdiff_t> outer_stride;
    std::uint64_t run = 0;
    std::ptrdiff_t run_stride = 0;

    // The number of elements: 0 for an empty run.
    std::uint64_t size() const;
};

// Encodes every element of `pixels` (each `width` bytes: 1, 2, 4 or 8) big-endian into `out`,
// exactly size() * width bytes, with `flip` XOR-ed into each element (the offset of the
// unsigned and signed-byte conventions). A large image is split over the cores, each part
// encoding its own range of elements into its own place; the bytes are the same for any split.
Result<void> encode_host_pixels(const HostPixels& pixels, std::size_t width, std::uint64_t flip,
                                std::span<std::uint8_t> out);

// T is one of std::uint8_t, std::int16_t, std::int32_t, std::int64_t, float, double
// (BITPIX 8, 16, 32, 64, -32, -64).
template <class T>
struct ImageBuilder {
    std::vector<std::uint64_t> axes;  // NAXIS1 first
    std::vector<T> pixels;            // FITS order, NAXIS1 fastest
    bool primary = false;             // a primary HDU instead of an IMAGE extension

    // Checks the pixel count against the axes product (not for an empty axes list).
    static Result<ImageBuilder> create(std::vector<std::uint64_t> axes, std::vector<T> pixels);
    // The header (SIMPLE or XTENSION = 'IMAGE', BITPIX, NAXIS, NAXISn, then EXTEND or
    // PCOUNT/GCOUNT) and the big-endian pixels, checked by ImageHdu::create.
    Result<ImageHdu> build() &&;
};

extern template struct ImageBuilder<std::uint8_t>;
extern template struct ImageBuilder<std::int16_t>;
extern template struct ImageBuilder<std::int32_t>;
extern template struct ImageBuilder<std::int64_t>;
extern template struct ImageBuilder<float>;
extern template struct ImageBuilder<double>;

// ---- binary tables ----

struct BinBuilderColumn {
    std::optional<std::uint64_t> vla_max;  // the (max) of a variable-length TFORM
    std::string name;                      // TTYPEn
    std::optional<std::string> unit;       // TUNITn
    std::optional<std::string> tdim;       // TDIMn, written unchanged
    std::uint64_t repeat = 1;              // 1 for a variable-length column
    BinKind kind = BinKind::Logical;
    std::optional<BinKind> vla_kind;  // the element kind of a P or Q column
};

// How messages name a column: "<who>: column `NAME` (col n)", `index` 0-based.
std::string column_label(std::string_view who, const BinBuilderColumn& c, std::size_t index);
// rT for a fixed-width column (1J, 20A, 3X); 1PE or 1QJ(50) for a variable-length one.
std::string bin_column_tform(const BinBuilderColumn& column);

// The largest count or heap offset a P descriptor holds: readers take its two fields as
// signed 32-bit numbers.
inline constexpr std::uint64_t kMaxPDescriptorField = 0x7FFFFFFF;

struct BinTableBuilder {
    std::vector<BinBuilderColumn> columns;
    std::optional<std::string> extname;

    // A fixed-width column (not P or Q; repeat at least 1). A refused add changes nothing.
    Result<BinTableBuilder*> add_column(std::string name, BinKind kind, std::uint64_t repeat,
                                        std::optional<std::string> unit,
                                        std::optional<std::string> tdim);
    // A variable-length column of `element` values behind a P or Q descriptor.
    Result<BinTableBuilder*> add_vla_column(std::string name, BinKind descriptor, BinKind element,
                                            std::optional<std::string> unit,
                                            std::optional<std::uint64_t> max);
    // Bytes of one row (saturates at 2^64 - 1, which build refuses).
    std::uint64_t row_width() const;

    // Writes the descriptor of one variable-length array of column `column` (0-based) into
    // `cell` (8 bytes for P, 16 for Q): `count` elements starting `offset` bytes into the
    // heap. Counts and offsets beyond what the descriptor holds are an Error::Data naming
    // the column, never wrapped.
    Result<void> encode_descriptor(std::size_t column, std::uint64_t count, std::uint64_t offset,
                                   std::span<std::uint8_t> cell) const;

    // `rows` holds n_rows rows of row_width() bytes, big-endian cells; `heap` the arrays
    // behind the descriptors. Besides the size checks, every descriptor must point inside
    // the heap, and a table with P columns must keep its heap within their 32-bit reach.
    Result<BinTableHdu> build(std::uint64_t n_rows, Bytes rows, ByteSpan heap) &&;
};

// ---- ASCII tables ----

using AsciiColumnValues = std::variant<std::vector<std::optional<std::int64_t>>,  // I
                                       std::vector<double>,                       // F, E, D
                                       std::vector<std::string>>;                 // A

struct AsciiBuilderColumn {
    AsciiColumnValues values;  // an absent integer or a NaN real is undefined
    AsciiFormat format;
    std::string name;
    std::optional<std::string> unit;
    std::optional<std::string> tnull;  // the text of undefined cells
};

// A12, I6, F10.3, E15.7, D25.17.
std::string ascii_tform_text(const AsciiFormat& format);
// The field of an undefined cell: the column's TNULL left-justified, blank-filled to `width`.
Result<std::string> ascii_null_cell(const AsciiBuilderColumn& column, std::uint64_t row,
                                    std::uint64_t width);

struct AsciiTableBuilder {
    std::vector<AsciiBuilderColumn> columns;
    std::optional<std::string> extname;

    // The values' kind must match the format: texts for A, integers for I, reals for F, E
    // and D. A refused add changes nothing.
    Result<AsciiTableBuilder*> add_column(std::string name, AsciiFormat format,
                                          AsciiColumnValues values);
    // Sets the unit or the TNULL text of the last added column.
    Result<AsciiTableBuilder*> unit(std::string unit);
    Result<AsciiTableBuilder*> tnull(std::string tnull);

    // Lays the fields out back to back, renders every cell and builds the TABLE header.
    Result<AsciiTableHdu> build() &&;
};

// ---- the user's cards ----

// Rewrites the first `keyword` card in place with `value` (keeping its comment when it can be
// written, else dropping it), removing any later ones; appends one with `comment` when there
// is none.
Result<void> put_card(Header& header, std::string_view keyword, const Value& value,
                      const std::optional<std::string>& comment);

// Makes the user header declare the offset convention: the first BZERO card gets `offset`
// (an integer card for the signed-byte offset -128) and the first BSCALE card 1.0 where they
// stand, keeping their comments; later cards of either keyword are removed; missing ones are
// appended, BZERO with the comment "offset for unsigned/signed convention".
Result<void> add_unsigned_offset_cards(Header& user, double offset);

// Fits the user's scaling cards to how an image's pixels are stored. Pixels stored with the
// offset convention (`offset` given, see add_unsigned_offset_cards) carry that BZERO and
// BSCALE = 1; floating-point pixels are stored as they are, so the user's BZERO, BSCALE and
// BLANK, which would make readers misread them, are dropped; other integer pixels keep the
// user's cards.
Result<void> fit_user_scaling_cards(Header& user, Bitpix stored, std::optional<double> offset);

// Appends the user's cards to a computed header. Reserved cards (SIMPLE, BITPIX, NAXIS,
// NAXISn, EXTEND, PCOUNT, GCOUNT, GROUPS, TFIELDS, XTENSION, END, CHECKSUM, DATASUM) never
// contribute a value; a reserved card's comment goes onto the computed card of that keyword
// when there is one (CHECKSUM and DATASUM are always dropped). Every other card is appended
// as its raw images.
void merge_user_header(Header& built, const Header& user);

// Whether a keyword describes the structure of a table or of random groups (TFIELDS, THEAP,
// GROUPS, TTYPEn, TFORMn, TBCOLn, TDIMn, TNULLn, TSCALn, TZEROn, TDISPn, PTYPEn, PSCALn,
// PZEROn): on an image it would make the HDU invalid.
bool is_other_kind_keyword(std::string_view keyword);
// The refusal of a user header given for an image that holds such a card, naming the first
// one (its keyword upper-cased); none when every card may go on an image.
std::optional<std::string> image_user_header_refusal(const Header& user);

// ---- character cells ----

// Character cells of either kind of table hold bytes 32 to 126 only. The refusal of the first
// cell holding another byte: "character columns are restricted to ASCII 32-126 (Standard
// Sec.7.2.5); found byte 0x{XX} in {quoted text}"; none when every cell is fine.
std::optional<std::string> non_ascii_cell_refusal(std::span<const std::string> cells);

}  // namespace vexlo
