#include "diff/data.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include "data/dispatch.hpp"
#include "hdu/data_source.hpp"
#include "header/card.hpp"
#include "util/checked.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// Pixels compared per block: small enough that a block holding one changed pixel costs
// little to convert, large enough that unchanged blocks are skipped at memcmp speed.
constexpr std::uint64_t kPixelBlock = 512;
// Pixels read from a file at once.
constexpr std::uint64_t kReadPixels = std::uint64_t{1} << 18;
// Table rows compared at once before looking at single rows and cells.
constexpr std::uint64_t kRowBlock = 256;

bool same_bytes(ByteSpan a, ByteSpan b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

std::string axes_text(const std::vector<std::uint64_t>& axes) {
    std::string out = "shape [";
    for (std::size_t i = 0; i < axes.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(axes[i]);
    }
    return out + "]";
}

std::string trimmed_quoted(std::string_view text) {
    return debug_str(trim_ws_end(text));
}

bool trimmed_equal(std::string_view a, std::string_view b) {
    return trim_ws_end(a) == trim_ws_end(b);
}

// ---- images ----

// One side of an image comparison: the pixel type and scaling, and the stored bytes, held in
// memory or read block by block from a file into a buffer that is reused.
struct PixelSide {
    Bitpix bitpix;
    Scaling scaling;
    DataSource source;
    std::string_view path;  // names the file in read errors
    Bytes buffer;

    // The stored bytes of pixels [first, first + n).
    Result<ByteSpan> block(std::uint64_t first, std::size_t n) {
        const std::uint64_t width = bytes_per_pixel(bitpix);
        Result<ByteSpan> got = source.block(first * width, n * width, buffer);
        if (!got && !source.held()) return std::unexpected(error_in_file(got.error(), path));
        return got;
    }
};

// Compares the physical values of the pixels of two blocks, the first being pixel `first`.
Result<void> compare_block(const PixelSide& a, ByteSpan block_a, const PixelSide& b,
                           ByteSpan block_b, std::uint64_t first, std::span<double> values_a,
                           std::span<double> values_b, DataDiffList& list) {
    VEXLO_TRY(physical_values_into(a.bitpix, block_a, a.scaling, values_a));
    VEXLO_TRY(physical_values_into(b.bitpix, block_b, b.scaling, values_b));
    const double rtol = list.options().rtol;
    const double atol = list.options().atol;
    for (std::size_t i = 0; i < values_a.size(); ++i) {
        if (!values_close(values_a[i], values_b[i], rtol, atol)) {
            list.push_pixel(first + i, values_a[i], values_b[i]);
        }
    }
    return {};
}

// An integer pixel value exactly, over the range of 64-bit pixels with and without the
// unsigned offset, [-2^63, 2^64): a double would round values past 2^53 and make different
// pixels equal.
struct ExactInt {
    bool negative = false;
    std::uint64_t magnitude = 0;
    bool operator==(const ExactInt&) const = default;
};

ExactInt exact_of_signed(std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    return v < 0 ? ExactInt{true, 0 - u} : ExactInt{false, u};
}

std::string exact_text(const std::optional<ExactInt>& v) {
    if (!v) return "NaN";
    return (v->negative ? "-" : "") + std::to_string(v->magnitude);
}

// |a - b| in double precision, rounded once.
double exact_distance(const ExactInt& a, const ExactInt& b) {
    if (a.negative != b.negative) {
        return static_cast<double>(a.magnitude) + static_cast<double>(b.magnitude);
    }
    const std::uint64_t d =
        a.magnitude > b.magnitude ? a.magnitude - b.magnitude : b.magnitude - a.magnitude;
    return static_cast<double>(d);
}

// values_close for exact integers, BLANK pixels (none) standing for not-a-number.
bool exact_close(const std::optional<ExactInt>& a, const std::optional<ExactInt>& b, double rtol,
                 double atol) {
    if (!a || !b) return !a && !b;
    if (*a == *b) return true;
    if (rtol == 0.0 && atol == 0.0) return false;
    const double allowed = static_cast<double>(b->magnitude) * rtol;
    return exact_distance(*a, *b) <= allowed + atol;
}

// Integer pixels whose physical values are integers: stored as they are or under the
// standard offset of their type, BLANK allowed.
bool holds_exact_integers(const PixelSide& side) {
    if (is_float(side.bitpix) || side.scaling.scale != 1.0) return false;
    return side.scaling.zero == 0.0 || side.scaling.zero == standard_offset(side.bitpix);
}

// The stored integers of a block, widened to 64 bits.
Result<void> stored_integers_into(Bitpix bitpix, ByteSpan block, std::span<std::int64_t> dest) {
    return visit_bitpix(bitpix, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_integral_v<T>) {
            for (std::size_t i = 0; i < dest.size(); ++i)
                dest[i] = load_be<T>(block.data() + i * sizeof(T));
        }
    });
}

// The physical value of one stored integer of a side that holds exact integers; none for
// BLANK.
std::optional<ExactInt> exact_value(const PixelSide& side, std::int64_t stored) {
    if (side.scaling.blank && stored == *side.scaling.blank) return std::nullopt;
    if (side.scaling.zero == 0.0) return exact_of_signed(stored);
    // Offset 2^63: the stored value with its top bit inverted, never negative.
    if (side.bitpix == Bitpix::I64) {
        return ExactInt{false, static_cast<std::uint64_t>(stored) ^ (std::uint64_t{1} << 63)};
    }
    return exact_of_signed(stored + static_cast<std::int64_t>(side.scaling.zero));
}

Result<void> compare_block_exact(const PixelSide& a, ByteSpan block_a, const PixelSide& b,
                                 ByteSpan block_b, std::uint64_t first,
                                 std::span<std::int64_t> stored_a, std::span<std::int64_t> stored_b,
                                 DataDiffList& list) {
    VEXLO_TRY(stored_integers_into(a.bitpix, block_a, stored_a));
    VEXLO_TRY(stored_integers_into(b.bitpix, block_b, stored_b));
    const double rtol = list.options().rtol;
    const double atol = list.options().atol;
    for (std::size_t i = 0; i < stored_a.size(); ++i) {
        const std::optional<ExactInt> va = exact_value(a, stored_a[i]);
        const std::optional<ExactInt> vb = exact_value(b, stored_b[i]);
        if (exact_close(va, vb, rtol, atol)) continue;
        list.push_with(std::nullopt, first + i,
                       [&] { return std::pair(exact_text(va), exact_text(vb)); });
    }
    return {};
}

// Pixel by pixel in physical units, in one pass over the stored bytes. Where both sides
// store the same type under the same scaling, equal bytes are equal values, so unchanged
// chunks and blocks are skipped at memcmp speed and only blocks with a changed byte are
// turned into values. Equal bytes of different pixel types are different numbers, so the
// type takes part in that test.
Result<void> compare_pixels(PixelSide& a, const std::vector<std::uint64_t>& axes_a, PixelSide& b,
                            const std::vector<std::uint64_t>& axes_b, std::uint64_t n,
                            DataDiffList& list) {
    if (axes_a != axes_b) {
        list.push_summary(axes_text(axes_a), axes_text(axes_b));
        return {};
    }
    // IEEE comparison: a NaN scale never matches, and those pixels go through the values.
    const bool same_encoding = a.bitpix == b.bitpix && a.scaling == b.scaling;
    // 64-bit integers are compared as integers; doubles hold every other integer pixel
    // exactly.
    const bool exact = holds_exact_integers(a) && holds_exact_integers(b) &&
                       (a.bitpix == Bitpix::I64 || b.bitpix == Bitpix::I64);
    const auto width_a = static_cast<std::size_t>(bytes_per_pixel(a.bitpix));
    const auto width_b = static_cast<std::size_t>(bytes_per_pixel(b.bitpix));
    std::vector<double> values_a(exact ? 0 : kPixelBlock);
    std::vector<double> values_b(exact ? 0 : kPixelBlock);
    std::vector<std::int64_t> stored_a(exact ? kPixelBlock : 0);
    std::vector<std::int64_t> stored_b(exact ? kPixelBlock : 0);
    for (std::uint64_t chunk = 0; chunk < n; chunk += kReadPixels) {
        const auto m = static_cast<std::size_t>(std::min(kReadPixels, n - chunk));
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan chunk_a, a.block(chunk, m));
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan chunk_b, b.block(chunk, m));
        if (same_encoding && same_bytes(chunk_a, chunk_b)) continue;
        for (std::size_t start = 0; start < m; start += kPixelBlock) {
            const std::size_t k = std::min<std::size_t>(kPixelBlock, m - start);
            const ByteSpan block_a = chunk_a.subspan(start * width_a, k * width_a);
            const ByteSpan block_b = chunk_b.subspan(start * width_b, k * width_b);
            if (same_encoding && same_bytes(block_a, block_b)) continue;
            if (exact) {
                VEXLO_TRY(compare_block_exact(a, block_a, b, block_b, chunk + start,
                                              std::span<std::int64_t>(stored_a).first(k),
                                              std::span<std::int64_t>(stored_b).first(k), list));
                continue;
            }
            VEXLO_TRY(compare_block(a, block_a, b, block_b, chunk + start,
                                    std::span<double>(values_a).first(k),
                                    std::span<double>(values_b).first(k), list));
        }
    }
    return {};
}

// ---- tables: the steps both kinds share ----

template <class Table>
std::vector<std::string_view> column_names(const Table& t) {
    std::vector<std::string_view> out;
    out.reserve(t.columns.size());
    for (const auto& c : t.columns)
        out.push_back(c.name);
    return out;
}

std::string names_text(const std::vector<std::string_view>& names) {
    std::string out = "columns [";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += debug_str(names[i]);
    }
    return out + "]";
}

bool is_column_scaling_keyword(std::string_view k) {
    return k.starts_with("TSCAL") || k.starts_with("TZERO") || k.starts_with("TNULL") ||
           k.starts_with("TFORM") || k.starts_with("TDIM");
}

// The cards that decide how the stored bytes of a column read, in keyword order (a stable
// sort keeps repeated keywords in header order).
std::vector<std::pair<std::string, std::optional<Value>>> sorted_column_cards(const Header& h) {
    std::vector<std::pair<std::string, std::optional<Value>>> out;
    const Layout& layout = h.layout();
    for (std::size_t i = 0; i < layout.spans.size(); ++i) {
        const CardView view = h.view_at(i);
        std::string keyword = card_keyword(view.bytes.first(kCardLen), true);
        if (!is_column_scaling_keyword(keyword)) continue;
        out.emplace_back(std::move(keyword), view.value());
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    return out;
}

// Rows, column names and the unchanged-bytes fast path; true when nothing is left to
// compare cell by cell.
template <class Table>
bool table_settled(const Table& a, const Table& b, DataDiffList& list) {
    if (a.n_rows != b.n_rows) {
        list.push_summary(std::to_string(a.n_rows) + " rows", std::to_string(b.n_rows) + " rows");
        return true;
    }
    const auto names_a = column_names(a);
    const auto names_b = column_names(b);
    if (names_a != names_b) {
        list.push_summary(names_text(names_a), names_text(names_b));
        return true;
    }
    // Value's equality compares reals by IEEE rules, so a NaN card never matches.
    return same_bytes(a.data.span(), b.data.span()) &&
           sorted_column_cards(a.header) == sorted_column_cards(b.header);
}

// ---- binary-table cells ----

template <class T>
bool lists_close(const std::vector<T>& a, const std::vector<T>& b, double rtol, double atol) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if constexpr (std::is_floating_point_v<T>) {
            if (!values_close(static_cast<double>(a[i]), static_cast<double>(b[i]), rtol, atol)) {
                return false;
            }
        } else {
            if (!values_close(a[i].real(), b[i].real(), rtol, atol) ||
                !values_close(a[i].imag(), b[i].imag(), rtol, atol)) {
                return false;
            }
        }
    }
    return true;
}

// A list of one element is that element; up to four are listed; longer lists show the first
// four and the count.
template <class Text>
std::string list_text(std::size_t n, Text&& element) {
    if (n == 1) return element(0);
    std::string out = "[";
    const std::size_t shown = n >= 5 ? 4 : n;
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) out += ", ";
        out += element(i);
    }
    if (n >= 5) out += ", ... " + std::to_string(n) + " total";
    return out + "]";
}

template <class V, class Text>
std::string elements_text(const std::vector<V>& values, Text&& text) {
    return list_text(values.size(), [&](std::size_t i) { return text(values[i]); });
}

template <class T>
std::string optional_text(const std::optional<T>& v) {
    return v ? std::to_string(*v) : "null";
}

std::string f32_pair_text(std::complex<float> c) {
    return "(" + format_f32_plain(c.real()) + ", " + format_f32_plain(c.imag()) + ")";
}

std::string f64_pair_text(std::complex<double> c) {
    return "(" + format_real_plain(c.real()) + ", " + format_real_plain(c.imag()) + ")";
}

std::string bits_text(const BinValue::Bits& bits) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = std::to_string(bits.n_bits) + " bits [";
    for (std::size_t i = 0; i < bits.bytes.size(); ++i) {
        if (i > 0) out += ", ";
        out += kHex[bits.bytes[i] >> 4];
        out += kHex[bits.bytes[i] & 0xF];
    }
    return out + "]";
}

// A column whose cells compare equal whenever their bytes do, in two tables that read them
// the same way: decoding can then be skipped for unchanged cells. Logical cells can fail to
// decode and variable-length cells point into heaps that may differ, so those always decode.
bool bytes_decide(const BinColumn& a, const BinColumn& b) {
    const BinKind kind = a.format.kind;
    if (kind == BinKind::Logical || kind == BinKind::P || kind == BinKind::Q) return false;
    return kind == b.format.kind && a.format.repeat == b.format.repeat && a.scaling == b.scaling &&
           a.tdim == b.tdim && a.int_storage == b.int_storage && a.width() == b.width();
}

void diff_bin_cell(const BinTableHdu& a, const BinTableHdu& b, std::uint64_t row, std::size_t c,
                   DataDiffList& list) {
    const BinColumn& ca = a.columns[c];
    Result<BinValue> va = a.read_cell(row, ca);
    Result<BinValue> vb = b.read_cell(row, b.columns[c]);
    if (!va || !vb) {
        list.push_undecodable(ca.name, row);
    } else if (!bin_values_equal(*va, *vb, list.options().rtol, list.options().atol)) {
        list.push_with(ca.name, row,
                       [&] { return std::pair(bintable_cell_text(*va), bintable_cell_text(*vb)); });
    }
}

}  // namespace

// ---- the list ----

void DataDiffList::push(std::string_view column, std::uint64_t row, std::string a, std::string b) {
    push_with(column, row, [&] { return std::pair(std::move(a), std::move(b)); });
}

void DataDiffList::push_summary(std::string a, std::string b) {
    push_with(std::nullopt, 0, [&] { return std::pair(std::move(a), std::move(b)); });
}

void DataDiffList::push_undecodable(std::string_view column, std::uint64_t row) {
    push_with(column, row,
              [] { return std::pair<std::string, std::string>("<undecodable>", "<undecodable>"); });
}

void DataDiffList::push_pixel(std::uint64_t index, double a, double b) {
    push_with(std::nullopt, index,
              [&] { return std::pair(format_real_plain(a), format_real_plain(b)); });
}

// ---- by kind ----

void diff_hdu_data(const Hdu& a, const Hdu& b, DataDiffList& list) {
    switch (a.kind()) {
        case Hdu::Kind::Image:
            diff_image_data(std::get<ImageHdu>(a.value), std::get<ImageHdu>(b.value), list);
            return;
        case Hdu::Kind::AsciiTable:
            diff_ascii_table_data(std::get<AsciiTableHdu>(a.value),
                                  std::get<AsciiTableHdu>(b.value), list);
            return;
        case Hdu::Kind::BinTable:
            diff_bintable_data(std::get<BinTableHdu>(a.value), std::get<BinTableHdu>(b.value),
                               list);
            return;
        case Hdu::Kind::CompressedImage: {
            // Compared as the images they hold; when either cannot be decoded, as the tables
            // that carry them, so an undecodable pair is still looked at cell by cell.
            const auto& ca = std::get<CompressedImageHdu>(a.value);
            const auto& cb = std::get<CompressedImageHdu>(b.value);
            if (const auto decompress = list.options().decompress) {
                Result<ImageHdu> image_a = decompress(ca);
                if (image_a) {
                    Result<ImageHdu> image_b = decompress(cb);
                    if (image_b) {
                        diff_image_data(*image_a, *image_b, list);
                        return;
                    }
                }
            }
            diff_bintable_data(ca.inner, cb.inner, list);
            return;
        }
        case Hdu::Kind::RandomGroups:
            diff_raw_bytes(std::get<RandomGroupsHdu>(a.value).data.span(),
                           std::get<RandomGroupsHdu>(b.value).data.span(), list);
            return;
        case Hdu::Kind::Conforming:
            diff_raw_bytes(std::get<ConformingHdu>(a.value).data.span(),
                           std::get<ConformingHdu>(b.value).data.span(), list);
            return;
    }
}

void diff_raw_bytes(ByteSpan a, ByteSpan b, DataDiffList& list) {
    if (same_bytes(a, b)) return;
    list.push_summary("<" + std::to_string(a.size()) + " bytes, differing>",
                      "<" + std::to_string(b.size()) + " bytes, differing>");
}

void diff_image_data(const ImageHdu& a, const ImageHdu& b, DataDiffList& list) {
    PixelSide side_a{
        a.bitpix, read_image_scaling(a.header), DataSource::of_memory(a.data.span()), {}, {}};
    PixelSide side_b{
        b.bitpix, read_image_scaling(b.header), DataSource::of_memory(b.data.span()), {}, {}};
    // Blocks of pixels held in memory are views, so this comparison cannot fail.
    static_cast<void>(compare_pixels(side_a, a.axes, side_b, b.axes, a.n_elements, list));
}

Result<void> diff_image_files(const StreamedImage& a, const StreamedImage& b, DataDiffList& list) {
    Result<DataSource> source_a = DataSource::of_file(*a.file, a.index);
    if (!source_a) return std::unexpected(error_in_file(source_a.error(), a.path));
    Result<DataSource> source_b = DataSource::of_file(*b.file, b.index);
    if (!source_b) return std::unexpected(error_in_file(source_b.error(), b.path));
    PixelSide side_a{a.geometry.bitpix, read_image_scaling(*a.header), *source_a, a.path, {}};
    PixelSide side_b{b.geometry.bitpix, read_image_scaling(*b.header), *source_b, b.path, {}};
    return compare_pixels(side_a, a.geometry.axes, side_b, b.geometry.axes, a.geometry.n_elements,
                          list);
}

namespace {

// Whether neither table's rows hold a byte: then every row reads like row 0, however many
// rows NAXIS2 claims.
template <class Table>
bool rows_hold_no_bytes(const Table& a, const Table& b) {
    return a.row_size == 0 && b.row_size == 0;
}

// Rows that all read alike, `diff_row(r)` comparing row r: they are walked only while their
// differences are stored; the differences of the rest are counted.
template <class DiffRow>
void diff_alike_rows(std::uint64_t n_rows, DataDiffList& list, DiffRow diff_row) {
    for (std::uint64_t r = 0; r < n_rows; ++r) {
        const std::uint64_t before = list.total();
        diff_row(r);
        const std::uint64_t per_row = list.total() - before;
        if (per_row == 0) return;
        if (list.full()) {
            list.count_more(checked_mul(per_row, n_rows - r - 1).value_or(UINT64_MAX));
            return;
        }
    }
}

}  // namespace

void diff_ascii_table_data(const AsciiTableHdu& a, const AsciiTableHdu& b, DataDiffList& list) {
    if (table_settled(a, b, list)) return;
    const double rtol = list.options().rtol;
    const double atol = list.options().atol;
    const std::size_t n_cols = std::min(a.columns.size(), b.columns.size());
    const auto diff_row = [&](std::uint64_t r) {
        for (std::size_t c = 0; c < n_cols; ++c) {
            const AsciiColumn& ca = a.columns[c];
            const auto va = a.read_cell(r, ca);
            const auto vb = b.read_cell(r, b.columns[c]);
            if (!va || !vb) {
                list.push_undecodable(ca.name, r);
            } else if (!ascii_values_equal(*va, *vb, rtol, atol)) {
                list.push_with(ca.name, r, [&] {
                    return std::pair(ascii_cell_text(*va), ascii_cell_text(*vb));
                });
            }
        }
    };
    if (rows_hold_no_bytes(a, b)) return diff_alike_rows(a.n_rows, list, diff_row);
    for (std::uint64_t r = 0; r < a.n_rows; ++r)
        diff_row(r);
}

void diff_bintable_data(const BinTableHdu& a, const BinTableHdu& b, DataDiffList& list) {
    if (table_settled(a, b, list)) return;
    const std::size_t n_cols = std::min(a.columns.size(), b.columns.size());
    if (rows_hold_no_bytes(a, b)) {
        return diff_alike_rows(a.n_rows, list, [&](std::uint64_t r) {
            for (std::size_t c = 0; c < n_cols; ++c)
                diff_bin_cell(a, b, r, c, list);
        });
    }
    std::vector<char> by_bytes(n_cols);
    bool all_by_bytes = a.row_size == b.row_size;
    for (std::size_t c = 0; c < n_cols; ++c) {
        by_bytes[c] = bytes_decide(a.columns[c], b.columns[c]);
        all_by_bytes = all_by_bytes && by_bytes[c] && a.columns[c].offset == b.columns[c].offset;
    }
    // With the same row layout and only byte-decided columns, runs of unchanged rows are
    // skipped whole.
    const ByteSpan rows_a = a.data.span();
    const ByteSpan rows_b = b.data.span();
    const auto rows_equal = [&](std::uint64_t first, std::uint64_t count) {
        const auto at = static_cast<std::size_t>(first * a.row_size);
        const auto len = static_cast<std::size_t>(count * a.row_size);
        return std::memcmp(rows_a.data() + at, rows_b.data() + at, len) == 0;
    };
    for (std::uint64_t first = 0; first < a.n_rows; first += kRowBlock) {
        const std::uint64_t count = std::min(kRowBlock, a.n_rows - first);
        if (all_by_bytes && rows_equal(first, count)) continue;
        for (std::uint64_t r = first; r < first + count; ++r) {
            if (all_by_bytes && rows_equal(r, 1)) continue;
            for (std::size_t c = 0; c < n_cols; ++c) {
                if (by_bytes[c]) {
                    const Result<ByteSpan> cell_a = a.cell_bytes(r, a.columns[c]);
                    const Result<ByteSpan> cell_b = b.cell_bytes(r, b.columns[c]);
                    if (cell_a && cell_b && same_bytes(*cell_a, *cell_b)) continue;
                }
                diff_bin_cell(a, b, r, c, list);
            }
        }
    }
}

// ---- cell equality ----

bool ascii_values_equal(const std::optional<AsciiValue>& a, const std::optional<AsciiValue>& b,
                        double rtol, double atol) {
    if (!a || !b) return !a && !b;
    if (a->kind() != b->kind()) return false;
    switch (a->kind()) {
        case AsciiValue::Kind::Str:
            return trimmed_equal(std::get<std::string>(a->value), std::get<std::string>(b->value));
        case AsciiValue::Kind::Int:
            return std::get<std::int64_t>(a->value) == std::get<std::int64_t>(b->value);
        case AsciiValue::Kind::Float:
            return values_close(std::get<double>(a->value), std::get<double>(b->value), rtol, atol);
    }
    return false;
}

bool bin_values_equal(const BinValue& a, const BinValue& b, double rtol, double atol) {
    if (a.kind() != b.kind()) return false;
    return std::visit(
        [&](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.value);
            if constexpr (std::is_same_v<T, BinValue::Vla>) {
                return bin_values_equal(*x.inner, *y.inner, rtol, atol);
            } else if constexpr (std::is_same_v<T, BinValue::Bits>) {
                return x.n_bits == y.n_bits && x.bytes == y.bytes;
            } else if constexpr (std::is_same_v<T, BinValue::Str>) {
                return trimmed_equal(x.value, y.value);
            } else if constexpr (std::is_same_v<T, BinValue::StrArray>) {
                return std::ranges::equal(x.values, y.values, trimmed_equal);
            } else if constexpr (std::is_same_v<T, BinValue::Float> ||
                                 std::is_same_v<T, BinValue::F64> ||
                                 std::is_same_v<T, BinValue::C128>) {
                return lists_close(x.values, y.values, rtol, atol);
            } else if constexpr (std::is_same_v<T, BinValue::F32> ||
                                 std::is_same_v<T, BinValue::C64>) {
                // Single precision is widened to double, exactly.
                return lists_close(x.values, y.values, rtol, atol);
            } else {
                // Logical, Int, Uint: element by element, null equal only to null.
                return x.values == y.values;
            }
        },
        a.value);
}

// ---- cell texts ----

std::string ascii_cell_text(const std::optional<AsciiValue>& v) {
    if (!v) return "null";
    switch (v->kind()) {
        case AsciiValue::Kind::Str:
            return trimmed_quoted(std::get<std::string>(v->value));
        case AsciiValue::Kind::Int:
            return std::to_string(std::get<std::int64_t>(v->value));
        case AsciiValue::Kind::Float:
            return format_real_plain(std::get<double>(v->value));
    }
    return "";
}

std::string bintable_cell_text(const BinValue& v) {
    return std::visit(
        [](const auto& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, BinValue::Vla>) {
                return bintable_cell_text(*x.inner);
            } else if constexpr (std::is_same_v<T, BinValue::Bits>) {
                return bits_text(x);
            } else if constexpr (std::is_same_v<T, BinValue::Str>) {
                return trimmed_quoted(x.value);
            } else if constexpr (std::is_same_v<T, BinValue::Logical>) {
                return elements_text(x.values, [](const std::optional<bool>& e) -> std::string {
                    return e ? (*e ? "true" : "false") : "null";
                });
            } else if constexpr (std::is_same_v<T, BinValue::Int> ||
                                 std::is_same_v<T, BinValue::Uint>) {
                return elements_text(x.values, [](const auto& e) { return optional_text(e); });
            } else if constexpr (std::is_same_v<T, BinValue::Float> ||
                                 std::is_same_v<T, BinValue::F64>) {
                return elements_text(x.values, [](double e) { return format_real_plain(e); });
            } else if constexpr (std::is_same_v<T, BinValue::F32>) {
                return elements_text(x.values, [](float e) { return format_f32_plain(e); });
            } else if constexpr (std::is_same_v<T, BinValue::C64>) {
                return elements_text(x.values, f32_pair_text);
            } else if constexpr (std::is_same_v<T, BinValue::C128>) {
                return elements_text(x.values, f64_pair_text);
            } else {
                static_assert(std::is_same_v<T, BinValue::StrArray>);
                return elements_text(x.values,
                                     [](const std::string& e) { return trimmed_quoted(e); });
            }
        },
        v.value);
}

}  // namespace vexlo
