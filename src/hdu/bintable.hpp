// Binary table HDUs: column descriptions (TFORM, TDIM, scaling, nulls), the table record and
// the decoding of its cells, including variable-length arrays stored in the heap.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "data/buffer.hpp"
#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "error.hpp"
#include "hdu/bin_format.hpp"
#include "hdu/owned.hpp"
#include "hdu/tile_value.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo {

// One decoded cell. `value` holds exactly one of the alternatives below, in this order.
struct BinValue {
    struct Logical {
        std::vector<std::optional<bool>> values;  // none is a null (byte 0)
    };
    struct Bits {
        Bytes bytes;               // the field's bytes as stored
        std::uint64_t n_bits = 0;  // the repeat
    };
    struct Int {
        std::vector<std::optional<std::int64_t>> values;  // none is a TNULL
    };
    struct Uint {
        std::vector<std::optional<std::uint64_t>> values;  // none is a TNULL
    };
    struct Float {
        std::vector<double> values;  // scaled integers; NaN is a TNULL
    };
    struct Str {
        std::string value;
    };
    struct StrArray {
        std::vector<std::string> values;
    };
    struct F32 {
        std::vector<float> values;
    };
    struct F64 {
        std::vector<double> values;
    };
    struct C64 {
        std::vector<std::complex<float>> values;
    };
    struct C128 {
        std::vector<std::complex<double>> values;
    };
    struct Vla {
        std::shared_ptr<const BinValue> inner;  // the array read from the heap; never null
    };

    enum class Kind : std::uint8_t {
        Logical,
        Bits,
        Int,
        Uint,
        Float,
        Str,
        StrArray,
        F32,
        F64,
        C64,
        C128,
        Vla,
    };

    std::variant<Logical, Bits, Int, Uint, Float, Str, StrArray, F32, F64, C64, C128, Vla> value;

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // The debug form messages quote: Int([Some(1), None]), Str("ab"), Vla(F64([0.5])).
    std::string debug() const;

    // Element-wise equality (NaN never equals NaN).
    friend bool operator==(const BinValue& a, const BinValue& b);
};

struct BinColumn {
    std::uint64_t index = 0;  // the 1-based column number n
    std::string name;         // TTYPEn trimmed, "" when absent
    std::string unit;         // TUNITn trimmed, "" when absent
    BinFormat format;
    std::uint64_t offset = 0;  // byte offset of the field within a row
    Scaling scaling;           // TSCALn, TZEROn and an integer TNULLn
    std::optional<std::vector<std::uint64_t>> tdim;
    std::optional<std::string> tdisp;
    IntStorage int_storage = IntStorage::RawSigned;

    // The field width in bytes (0 if the format's width overflows, which a constructed
    // table never holds).
    std::uint64_t width() const;

    // Decodes one cell's bytes; `heap` is the table's heap (ignored by fixed-width kinds).
    Result<BinValue> decode_cell(ByteSpan cell, ByteSpan heap) const;
    // The error decode_cell would give for the cell, without building its value: L bytes,
    // A text, and a P/Q cell's descriptor and the array it points at.
    Result<void> check_cell(ByteSpan cell, ByteSpan heap) const;
};

// The element count and heap offset of a P or Q descriptor cell.
struct VlaDescriptor {
    std::uint64_t count = 0;
    std::uint64_t offset = 0;
};
Result<VlaDescriptor> read_vla_descriptor(BinKind kind, ByteSpan cell);
// The two signed fields of a P (two 32-bit) or Q (two 64-bit) cell, when `kind` is one of them
// and the cell is wide enough: the one reading of a descriptor's layout. Inline, as a table's
// check pass looks at every cell; read_vla_descriptor adds the refusals and their words.
struct VlaFields {
    std::int64_t count = 0;
    std::int64_t offset = 0;
};
inline std::optional<VlaFields> load_vla_fields(BinKind kind, ByteSpan cell) {
    if (kind == BinKind::P && cell.size() >= 8) {
        return VlaFields{load_be_i32(cell.data()), load_be_i32(cell.data() + 4)};
    }
    if (kind == BinKind::Q && cell.size() >= 16) {
        return VlaFields{load_be_i64(cell.data()), load_be_i64(cell.data() + 8)};
    }
    return std::nullopt;
}
// The `length` heap bytes at `offset`; none when any of them lies past the heap's end (an end
// beyond the 64-bit range included).
inline std::optional<ByteSpan> heap_slice(ByteSpan heap, std::uint64_t offset,
                                          std::uint64_t length) {
    const std::optional<std::uint64_t> end = checked_add(offset, length);
    if (!end || *end > heap.size()) return std::nullopt;
    return heap.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
}

// Where the array a descriptor points at lies in the heap (`count` elements of `elem`), or why
// it lies nowhere: the one rule for reading a descriptor against a heap. An array of no
// elements is empty wherever it points.
enum class HeapFault : std::uint8_t {
    None,
    LengthOverflow,   // its byte length is beyond the 64-bit range
    AddressOverflow,  // its end is beyond the 64-bit range
    PastEnd,          // it runs past the heap's last byte
};
struct HeapArray {
    ByteSpan bytes;
    std::uint64_t length = 0;  // its byte length, when that is in range
    HeapFault fault = HeapFault::None;
};
// Inline, as a table's check pass resolves every cell's descriptor.
inline HeapArray resolve_heap_array(const VlaDescriptor& d, BinKind elem, ByteSpan heap) {
    if (d.count == 0) return {};
    const std::optional<std::uint64_t> length = BinFormat::byte_width(d.count, elem);
    if (!length) return {{}, 0, HeapFault::LengthOverflow};
    const std::optional<ByteSpan> bytes = heap_slice(heap, d.offset, *length);
    if (bytes) return {*bytes, *length, HeapFault::None};
    const bool wraps = !checked_add(d.offset, *length);
    return {{}, *length, wraps ? HeapFault::AddressOverflow : HeapFault::PastEnd};
}
// Who reads a descriptor, which decides the words of its errors: a table cell names its column
// (1-based `column`), a compressed image's tile reader the span of the tile's payload.
struct HeapReader {
    enum class Kind : std::uint8_t { Cell, Tile };
    Kind kind = Kind::Cell;
    std::uint64_t column = 0;
};
// The bytes of the array a descriptor points at, or the reader's error for a fault.
Result<ByteSpan> heap_array(const VlaDescriptor& d, BinKind elem, ByteSpan heap, HeapReader reader);

// An A field's text: trailing NULs removed first, then trailing white space.
std::string_view cell_text(std::string_view field);

// Consecutive whole w-byte pieces, each decoded lossily as UTF-8 with trailing NULs and then
// trailing white space removed. A width of 0 gives no strings.
std::vector<std::string> split_fixed_strings(ByteSpan bytes, std::uint64_t width);

// What a numeric column decodes to, element by element; matches the BinValue alternative
// its cells give.
enum class ColumnElement : std::uint8_t {
    Bool,  // L: values with nulls (BinValue::Logical)
    I64,   // B, I, J, K with RawSigned or SignedFromByte storage (BinValue::Int)
    U64,   // I, J, K with Unsigned storage (BinValue::Uint)
    F64,   // B, I, J, K with Scaled storage (BinValue::Float), and D (BinValue::F64)
    F32,   // E (BinValue::F32)
    C64,   // C
    C128,  // M
};

// The element type of a numeric kind under an integer storage; none for X, A, P and Q.
std::optional<ColumnElement> element_of_kind(BinKind kind, IntStorage storage);

// The heap array one row of a P/Q column points at: its element count, and what its elements
// decode to (none for a kind without fixed numeric elements), empty arrays included.
struct VlaExtent {
    std::uint64_t count = 0;
    std::optional<ColumnElement> element;
};

struct BinTableHdu {
    Header header;
    DataBuf data;  // NAXIS1 * NAXIS2 + PCOUNT bytes: main table, then the heap
    std::uint64_t row_size = 0;
    std::uint64_t n_rows = 0;
    std::vector<BinColumn> columns;
    std::uint64_t heap_offset = 0;
    std::uint64_t heap_size = 0;

    // Builds the record from a header and an owned data section (the buffer is released on
    // failure).
    static Result<BinTableHdu> create(Header header, Bytes data);
    // Builds the record over borrowed bytes, which must outlive the record.
    static Result<BinTableHdu> create_borrowed(Header header, ByteSpan data);
    // Builds the layout of a table whose data section of `data_len` bytes has not been read:
    // the same checks and errors as create, but `data` stays empty. Until `data` is set to
    // those bytes, every accessor of the rows or the heap below refuses with an error.
    static Result<BinTableHdu> create_unread(Header header, std::uint64_t data_len);

    // The header and the data as an owned buffer (copied when the record only borrowed it).
    OwnedHdu into_parts() &&;

    // Whether `data` holds the whole data section (rows, then the heap); false for a record
    // built unread whose bytes were never set.
    bool holds_data() const;
    // The data section, or the error of a record that does not hold it.
    Result<ByteSpan> data_section() const;
    // The heap, a view into `data`.
    Result<ByteSpan> heap() const;

    // The bytes of one cell, a view into `data`.
    Result<ByteSpan> cell_bytes(std::uint64_t row, const BinColumn& column) const;
    // Refuses rows [first, first + n) unless all of them lie in the table.
    Result<void> check_row_range(std::uint64_t first, std::uint64_t n) const;
    // Refuses a column whose field does not fit in this table's rows (a foreign column).
    Result<void> check_field(const BinColumn& column) const;
    // cell_bytes then BinColumn::decode_cell over this table's heap.
    Result<BinValue> read_cell(std::uint64_t row, const BinColumn& column) const;

    // check_cell over rows [first, first + n) of a column: the first failing row's error.
    Result<void> check_rows(const BinColumn& column, std::uint64_t first, std::uint64_t n) const;

    // The first column whose name equals `name` ignoring ASCII case, or null.
    const BinColumn* find_column(std::string_view name) const;

    // ---- whole-column decoding ----
    // Rows [first_row, first_row + n) of a fixed-width numeric column, decoded straight into
    // `out` (n * repeat elements, row after row) with exactly the values decode_cell gives.
    // Nulls (TNULL for integers, byte 0 for L) write 0 / false into `out`; when `nulls` is
    // not empty (same length as `out`) it receives 1 for a null element and 0 otherwise.
    // Returns the number of null elements. Scaled-integer nulls are NaN, as in cells, and
    // are counted too. The buffer type must be the one column_element() names.
    static Result<ColumnElement> column_element(const BinColumn& column);
    // Refuses a buffer of elements `want` for `column` when column_element() names another.
    static Result<void> check_column_element(const BinColumn& column, ColumnElement want);
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<bool> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<std::int64_t> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<std::uint64_t> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<double> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<float> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<std::complex<float>> out,
                                      std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_column(const BinColumn& column, std::uint64_t first_row,
                                      std::uint64_t n, std::span<std::complex<double>> out,
                                      std::span<std::uint8_t> nulls) const;

    // ---- variable-length arrays, one row at a time ----
    // The extent of a row's heap array, its descriptor checked as read_cell checks it.
    Result<VlaExtent> vla_extent(std::uint64_t row, const BinColumn& column) const;
    // A row's heap array decoded straight into `out` (exactly its count of the elements
    // vla_extent names) with exactly the values read_cell gives, nulls as read_column.
    Result<std::uint64_t> read_vla(std::uint64_t row, const BinColumn& column,
                                   std::span<std::int64_t> out,
                                   std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_vla(std::uint64_t row, const BinColumn& column,
                                   std::span<std::uint64_t> out,
                                   std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_vla(std::uint64_t row, const BinColumn& column,
                                   std::span<double> out, std::span<std::uint8_t> nulls) const;
    Result<std::uint64_t> read_vla(std::uint64_t row, const BinColumn& column, std::span<float> out,
                                   std::span<std::uint8_t> nulls) const;
};

// A per-tile scale or zero of a tile-compressed image: the constant, or the single value of
// the column's cell in `row`.
Result<double> tile_value_for_row(const TileValue<double>& value, const BinTableHdu& table,
                                  std::uint64_t row);

}  // namespace vexlo
