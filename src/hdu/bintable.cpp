// The binary table record: its construction from the header (NAXISn, PCOUNT, THEAP, the
// columns' keywords), the bounds of cells and the checks a column lookup makes.
#include "hdu/bintable.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "data/pixel.hpp"
#include "data/scaling.hpp"
#include "util/checked.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// ---------------------------------------------------------------- construction

Result<std::int64_t> require_eq(Result<std::int64_t> got, std::int64_t want, const char* key,
                                const char* msg) {
    if (!got) return got;
    if (*got != want) return fail(Error::value(key, msg));
    return got;
}

Result<BinColumn> read_column_keywords(const Header& h, std::uint64_t n,
                                       std::uint64_t running_offset) {
    const std::string tform_key = indexed_keyword("TFORM", n);
    auto tform = h.get_str(tform_key);
    if (!tform) return fail(Error::missing_mandatory(tform_key));
    BinColumn c;
    c.index = n;
    VEXLO_ASSIGN_OR_RETURN(c.format, BinFormat::parse(*tform));
    const auto width = BinFormat::byte_width(c.format.repeat, c.format.kind);
    if (!width) return fail(Error::value(tform_key, "row offset overflows usize"));
    if (auto v = h.get_str(indexed_keyword("TTYPE", n))) c.name = std::string(trim_ws(*v));
    if (auto v = h.get_str(indexed_keyword("TUNIT", n))) c.unit = std::string(trim_ws(*v));
    c.scaling = read_column_scaling(h, n);
    VEXLO_ASSIGN_OR_RETURN(c.tdim, read_tdim(h, n));
    c.int_storage = is_integer_kind(c.format.kind)
                        ? classify_int_storage(c.format.kind, c.scaling.scale, c.scaling.zero)
                        : IntStorage::RawSigned;
    if (auto v = h.get_str(indexed_keyword("TDISP", n))) c.tdisp = std::string(trim_ws(*v));
    if (!checked_add(running_offset, *width)) {
        return fail(Error::value(tform_key, "row offset overflows usize"));
    }
    c.offset = running_offset;
    return c;
}

// `len` is the data section's length, which `data` holds unless the table is built unread.
Result<BinTableHdu> build(Header header, DataBuf data, std::uint64_t len) {
    VEXLO_TRY(require_eq(header.bitpix(), 8, "BITPIX", "BINTABLE requires BITPIX = 8"));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    if (naxis != 2) return fail(Error::value("NAXIS", "BINTABLE requires NAXIS = 2"));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis1, header.naxisn(1));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis2, header.naxisn(2));
    const std::int64_t pcount = header.get_i64("PCOUNT").value_or(0);
    if (pcount < 0) {
        return fail(Error::value("PCOUNT", "PCOUNT must be >= 0, got " + str(pcount)));
    }
    const auto main_size = checked_mul(naxis1, naxis2);
    if (!main_size) return fail(Error::data("BINTABLE size overflows usize"));
    const auto total = checked_add(*main_size, static_cast<std::uint64_t>(pcount));
    if (!total) return fail(Error::data("BINTABLE+heap size overflows"));
    if (len != *total) {
        return std::unexpected(
            Error::data("BINTABLE data slice " + str(len) +
                        " bytes does not match NAXIS1*NAXIS2+PCOUNT = " + str(*total)));
    }
    std::uint64_t theap = *main_size;
    if (auto t = header.get_i64("THEAP")) {
        if (*t < 0) {
            return fail(Error::value("THEAP", "THEAP must be >= 0, got " + str(*t)));
        }
        theap = static_cast<std::uint64_t>(*t);
    }
    if (theap < *main_size || theap > *total) {
        return fail(Error::value("THEAP", "THEAP=" + str(theap) +
                                              " must lie within [NAXIS1*NAXIS2=" + str(*main_size) +
                                              ", total=" + str(*total) + "]"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t tfields, header.require_i64("TFIELDS"));
    if (tfields < 0) {
        return std::unexpected(
            Error::value("TFIELDS", "TFIELDS must be >= 0, got " + str(tfields)));
    }
    std::vector<BinColumn> columns;
    // Every column needs its own TFORMn card, so the header's length bounds a sound count;
    // a larger TFIELDS fails at the first missing TFORMn.
    columns.reserve(std::min<std::uint64_t>(static_cast<std::uint64_t>(tfields), header.len()));
    std::uint64_t offset = 0;
    for (std::uint64_t n = 1; n <= static_cast<std::uint64_t>(tfields); ++n) {
        VEXLO_ASSIGN_OR_RETURN(BinColumn c, read_column_keywords(header, n, offset));
        offset += c.width();
        columns.push_back(std::move(c));
    }
    if (offset > naxis1) {
        return fail(Error::value("NAXIS1", "sum of TFORM widths (" + str(offset) +
                                               ") exceeds NAXIS1 (" + str(naxis1) + ")"));
    }
    BinTableHdu t;
    t.header = std::move(header);
    t.data = std::move(data);
    t.row_size = naxis1;
    t.n_rows = naxis2;
    t.columns = std::move(columns);
    t.heap_offset = theap;
    t.heap_size = len - theap;
    return t;
}

}  // namespace

// ---------------------------------------------------------------- columns and table

std::uint64_t BinColumn::width() const {
    return BinFormat::byte_width(format.repeat, format.kind).value_or(0);
}

namespace {

// Whether a P/Q descriptor surely decodes: an array of numbers lying inside the heap. False
// only means the full check must look.
bool descriptor_ok(BinKind kind, BinKind elem, ByteSpan cell, ByteSpan heap) {
    const std::optional<VlaFields> f = load_vla_fields(kind, cell);
    if (!f || f->count < 0 || f->offset < 0) return false;
    const VlaDescriptor d{static_cast<std::uint64_t>(f->count),
                          static_cast<std::uint64_t>(f->offset)};
    return resolve_heap_array(d, elem, heap).fault == HeapFault::None;
}

// Checks the rows whose quick look `ok(cell)` doubts in full, for the exact error.
template <class Ok>
Result<void> check_doubted(const BinColumn& column, const std::uint8_t* field, std::uint64_t n,
                           std::uint64_t row_size, std::size_t width, ByteSpan heap, Ok ok) {
    for (std::uint64_t r = 0; r < n; ++r, field += row_size) {
        if (!ok(field)) VEXLO_TRY(column.check_cell(ByteSpan(field, width), heap));
    }
    return {};
}

}  // namespace

Result<void> BinTableHdu::check_rows(const BinColumn& column, std::uint64_t first,
                                     std::uint64_t n) const {
    if (n == 0) return {};
    // Validates the field against the last row once; every row before it then holds it.
    VEXLO_TRY(cell_bytes(first + n - 1, column));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all_heap, heap());
    const auto width = static_cast<std::size_t>(column.width());
    const std::uint8_t* field = data.data() + first * row_size + column.offset;
    // Every byte of a kind the column-kind list does not mark `checked` decodes to a value.
    if (!bin_kind_facts(column.format.kind).checked) return {};
    // A quick look at each cell, with the kind's switch outside the loop over the rows.
    switch (column.format.kind) {
        case BinKind::Logical:
            return check_doubted(
                column, field, n, row_size, width, all_heap, [&](const std::uint8_t* cell) {
                    bool ok = true;
                    for (std::size_t i = 0; i < width; ++i) {
                        const std::uint8_t b = cell[i];
                        ok &= b == 'T' || b == 'F' || b == 0 || b == 't' || b == 'f';
                    }
                    return ok;
                });
        case BinKind::Char:
            return check_doubted(column, field, n, row_size, width, all_heap,
                                 [&](const std::uint8_t* cell) {
                                     std::uint8_t any = 0;
                                     for (std::size_t i = 0; i < width; ++i)
                                         any |= cell[i];
                                     return any < 0x80;
                                 });
        case BinKind::P:
        case BinKind::Q: {
            // Only arrays of numbers are sure to decode once they lie inside the heap.
            const BinFormat& f = column.format;
            const bool numbers = f.vla_kind && *f.vla_kind != BinKind::Logical &&
                                 element_of_kind(*f.vla_kind, IntStorage::RawSigned);
            const BinKind kind = f.kind;
            const BinKind elem = numbers ? *f.vla_kind : BinKind::Byte;
            return check_doubted(
                column, field, n, row_size, width, all_heap, [&](const std::uint8_t* cell) {
                    return numbers && descriptor_ok(kind, elem, ByteSpan(cell, width), all_heap);
                });
        }
        default:
            // A checked kind without a quick look of its own: every cell gets the full check.
            return check_doubted(column, field, n, row_size, width, all_heap,
                                 [](const std::uint8_t*) { return false; });
    }
}

Result<BinTableHdu> BinTableHdu::create(Header header, Bytes data) {
    const std::uint64_t len = data.size();
    return build(std::move(header), DataBuf::owned(std::move(data)), len);
}

Result<BinTableHdu> BinTableHdu::create_borrowed(Header header, ByteSpan data) {
    return build(std::move(header), DataBuf::borrowed(data), data.size());
}

Result<BinTableHdu> BinTableHdu::create_unread(Header header, std::uint64_t data_len) {
    return build(std::move(header), DataBuf(), data_len);
}

OwnedHdu BinTableHdu::into_parts() && {
    return OwnedHdu{std::move(header), std::move(data).into_bytes()};
}

bool BinTableHdu::holds_data() const {
    // The constructors check that the data section is exactly heap_offset + heap_size bytes.
    return data.size() == heap_offset + heap_size;
}

Result<ByteSpan> BinTableHdu::data_section() const {
    if (!holds_data()) {
        return fail(Error::data("BINTABLE data section (" + str(heap_offset + heap_size) +
                                " bytes) has not been read"));
    }
    return data.span();
}

Result<ByteSpan> BinTableHdu::heap() const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all, data_section());
    return all.subspan(static_cast<std::size_t>(heap_offset), static_cast<std::size_t>(heap_size));
}

Result<ByteSpan> BinTableHdu::cell_bytes(std::uint64_t row, const BinColumn& column) const {
    VEXLO_TRY(check_row_range(row, 1));
    VEXLO_TRY(check_field(column));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all, data_section());
    const std::uint64_t start = row * row_size + column.offset;
    return all.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(column.width()));
}

Result<void> BinTableHdu::check_row_range(std::uint64_t first, std::uint64_t n) const {
    if (first > n_rows || n > n_rows - first) {
        return fail(Error::data("row " + str(std::max(first, n_rows)) + " out of range (n_rows = " +
                                str(n_rows) + ")"));
    }
    return {};
}

Result<void> BinTableHdu::check_field(const BinColumn& column) const {
    // A column of this table always fits its row; a foreign one is refused, not read past.
    if (column.offset > row_size || column.width() > row_size - column.offset) {
        return fail(Error::data("BINTABLE col " + str(column.index) +
                                ": field does not fit in a row of " + str(row_size) + " bytes"));
    }
    return {};
}

Result<BinValue> BinTableHdu::read_cell(std::uint64_t row, const BinColumn& column) const {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, cell_bytes(row, column));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan all_heap, heap());
    return column.decode_cell(cell, all_heap);
}

const BinColumn* BinTableHdu::find_column(std::string_view name) const {
    for (const BinColumn& c : columns) {
        if (ascii_iequal(c.name, name)) return &c;
    }
    return nullptr;
}

Result<double> tile_value_for_row(const TileValue<double>& value, const BinTableHdu& table,
                                  std::uint64_t row) {
    if (value.kind == TileValue<double>::Kind::Constant) return value.value;
    if (value.column >= table.columns.size()) {
        return fail(Error::header("scale column slot " + str(std::uint64_t{value.column}) +
                                  " no longer present"));
    }
    VEXLO_ASSIGN_OR_RETURN(const BinValue v, table.read_cell(row, table.columns[value.column]));
    switch (v.kind()) {
        case BinValue::Kind::Int: {
            const auto& xs = std::get<BinValue::Int>(v.value).values;
            if (xs.size() == 1) return xs[0] ? static_cast<double>(*xs[0]) : 0.0;
            break;
        }
        case BinValue::Kind::Float: {
            const auto& xs = std::get<BinValue::Float>(v.value).values;
            if (xs.size() == 1) return xs[0];
            break;
        }
        case BinValue::Kind::F64: {
            const auto& xs = std::get<BinValue::F64>(v.value).values;
            if (xs.size() == 1) return xs[0];
            break;
        }
        case BinValue::Kind::F32: {
            const auto& xs = std::get<BinValue::F32>(v.value).values;
            if (xs.size() == 1) return static_cast<double>(xs[0]);
            break;
        }
        default:
            break;
    }
    return fail(Error::data("expected scalar float in column " + str(std::uint64_t{value.column}) +
                            ", got " + v.debug()));
}

}  // namespace vexlo
