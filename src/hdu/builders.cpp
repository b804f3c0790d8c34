#include "hdu/builders.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "data/dispatch.hpp"
#include "data/pixel.hpp"
#include "data/strided.hpp"
#include "header/card.hpp"
#include "header/header.hpp"
#include "util/checked.hpp"
#include "util/debug.hpp"
#include "util/parallel.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

constexpr std::uint64_t kMaxI64 =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Appends one card without a comment; the formatter's error ends the build.
Result<void> push(Header& h, std::string_view keyword, Value value) {
    VEXLO_TRY(h.push_card(keyword, value, std::nullopt));
    return {};
}

Result<void> push_int(Header& h, std::string_view keyword, std::int64_t v) {
    return push(h, keyword, Value::make_integer(v));
}

Result<void> push_str(Header& h, std::string_view keyword, std::string v) {
    return push(h, keyword, Value::make_string(std::move(v)));
}

}  // namespace

// ===================================== images =====================================

std::uint64_t HostPixels::size() const {
    std::uint64_t n = run;
    for (const std::uint64_t len : outer_shape)
        n *= len;
    return n;
}

namespace {

// Below this many encoded bytes per part a thread does not repay its start.
constexpr std::size_t kMinEncodeBytesPerPart = std::size_t{4} << 20;

// Calls visit(first, stride, count) for the runs that cover elements [first, first + count)
// of `pixels` in C order, the first and last runs cut to the range.
template <class Visit>
void for_runs_in_range(const HostPixels& p, std::uint64_t first, std::uint64_t count,
                       Visit&& visit) {
    if (count == 0) return;
    const std::size_t outer = p.outer_shape.size();
    std::vector<std::uint64_t> index(outer, 0);
    const std::uint8_t* at = p.base;
    std::uint64_t rest = first / p.run;
    for (std::size_t a = outer; a-- > 0;) {
        index[a] = rest % p.outer_shape[a];
        rest /= p.outer_shape[a];
        at += static_cast<std::ptrdiff_t>(index[a]) * p.outer_stride[a];
    }
    std::uint64_t within = first % p.run;
    for (;;) {
        const std::uint64_t n = std::min(p.run - within, count);
        visit(at + static_cast<std::ptrdiff_t>(within) * p.run_stride, p.run_stride,
              static_cast<std::size_t>(n));
        count -= n;
        if (count == 0) return;
        within = 0;
        for (std::size_t a = outer; a-- > 0;) {
            at += p.outer_stride[a];
            if (++index[a] < p.outer_shape[a]) break;
            at -= p.outer_stride[a] * static_cast<std::ptrdiff_t>(index[a]);
            index[a] = 0;
        }
    }
}

}  // namespace

Result<void> encode_host_pixels(const HostPixels& pixels, std::size_t width, std::uint64_t flip,
                                std::span<std::uint8_t> out) {
    const std::uint64_t total = pixels.size();
    if (total * width != out.size()) {
        return fail(Error::data("encoded pixels: destination is " + str(out.size()) +
                                " bytes, pixels need " + str(total * width)));
    }
    const std::size_t parts = parts_for(out.size(), kMinEncodeBytesPerPart);
    return visit_word(width, [&](auto tag) {
        using U = typename decltype(tag)::type;
        return run_ranges(
            parts, total,
            [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
                std::uint8_t* at = out.data() + first * sizeof(U);
                for_runs_in_range(
                    pixels, first, count,
                    [&](const std::uint8_t* src, std::ptrdiff_t stride, std::size_t n) {
                        encode_run<U>(src, stride, n, at, static_cast<U>(flip));
                        at += n * sizeof(U);
                    });
                return {};
            });
    });
}

template <class T>
Result<ImageBuilder<T>> ImageBuilder<T>::create(std::vector<std::uint64_t> axes,
                                                std::vector<T> pixels) {
    if (!axes.empty()) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t product, axis_product(axes));
        if (product != pixels.size()) {
            return fail(Error::data("ImageBuilder: pixel count " + str(pixels.size()) +
                                    " does not match axes product " + str(product)));
        }
    }
    ImageBuilder b;
    b.axes = std::move(axes);
    b.pixels = std::move(pixels);
    return b;
}

Result<Header> image_header(Bitpix bitpix, std::span<const std::uint64_t> axes, bool primary) {
    Header h;
    if (primary) {
        VEXLO_TRY(
            h.push_card("SIMPLE", Value::make_logical(true), std::string("conforming FITS file")));
    } else {
        VEXLO_TRY(push_str(h, "XTENSION", "IMAGE"));
    }
    VEXLO_TRY(push_int(h, "BITPIX", bitpix_value(bitpix)));
    VEXLO_TRY(push_int(h, "NAXIS", static_cast<std::int64_t>(axes.size())));
    for (std::size_t i = 0; i < axes.size(); ++i) {
        // Axis lengths beyond the signed range cannot be a header integer; such a list
        // cannot match a pixel list in memory either, unless another axis is 0.
        if (axes[i] > kMaxI64) {
            return fail(Error::data("ImageBuilder: axis length " + str(axes[i]) +
                                    " exceeds the range of NAXIS" + str(i + 1)));
        }
        VEXLO_TRY(push_int(h, indexed_keyword("NAXIS", i + 1), static_cast<std::int64_t>(axes[i])));
    }
    if (primary) {
        VEXLO_TRY(h.push_card("EXTEND", Value::make_logical(true),
                              std::string("FITS dataset may contain extensions")));
    } else {
        VEXLO_TRY(push_int(h, "PCOUNT", 0));
        VEXLO_TRY(push_int(h, "GCOUNT", 1));
    }
    return h;
}

template <class T>
Result<ImageHdu> ImageBuilder<T>::build() && {
    constexpr Bitpix bitpix = PixelTraits<T>::kBitpix;
    VEXLO_ASSIGN_OR_RETURN(Header h, image_header(bitpix, axes, primary));
    Bytes data;
    try {
        data = encode_buffer_of(pixels.size() * sizeof(T));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    HostPixels host;
    host.base = reinterpret_cast<const std::uint8_t*>(pixels.data());
    host.run = pixels.size();
    host.run_stride = sizeof(T);
    VEXLO_TRY(encode_host_pixels(host, sizeof(T), 0, data));
    std::vector<T>().swap(pixels);  // the builder is consumed: release the host copy now
    return ImageHdu::create(std::move(h), std::move(data));
}

template struct ImageBuilder<std::uint8_t>;
template struct ImageBuilder<std::int16_t>;
template struct ImageBuilder<std::int32_t>;
template struct ImageBuilder<std::int64_t>;
template struct ImageBuilder<float>;
template struct ImageBuilder<double>;

// ================================== binary tables ==================================

namespace {

// Bytes a builder column of repeat r occupies in a row; none beyond 64 bits. A builder's
// P or Q column of repeat r holds r descriptors (at least one).
std::optional<std::uint64_t> column_width(const BinBuilderColumn& c) {
    if (!is_descriptor_kind(c.kind)) return BinFormat::byte_width(c.repeat, c.kind);
    return checked_mul(std::max<std::uint64_t>(c.repeat, 1), bin_element_size(c.kind));
}

std::optional<std::uint64_t> checked_row_width(const std::vector<BinBuilderColumn>& columns) {
    std::uint64_t w = 0;
    for (const BinBuilderColumn& c : columns) {
        const std::optional<std::uint64_t> cw = column_width(c);
        if (!cw) return std::nullopt;
        const std::optional<std::uint64_t> sum = checked_add(w, *cw);
        if (!sum) return std::nullopt;
        w = *sum;
    }
    return w;
}

Error size_overflow() {
    return Error::data("row x column count overflowed usize");
}

std::string builder_label(const BinBuilderColumn& c, std::size_t index) {
    return column_label("BinTableBuilder", c, index);
}

// Every descriptor of a P or Q column must fit its field's signed range and point inside
// the heap; and no array of a P column may lie where its descriptor cannot reach, which a
// heap beyond the P range allows (a caller's 32-bit offsets would have wrapped there).
Result<void> check_descriptors(const std::vector<BinBuilderColumn>& columns, std::uint64_t n_rows,
                               std::uint64_t w, ByteSpan rows, ByteSpan heap) {
    std::uint64_t offset = 0;
    for (std::size_t ci = 0; ci < columns.size(); ++ci) {
        const BinBuilderColumn& c = columns[ci];
        const std::uint64_t cw = *column_width(c);  // the caller checked the row width
        if (is_descriptor_kind(c.kind)) {
            const bool p = c.kind == BinKind::P;
            if (p && heap.size() > kMaxPDescriptorField) {
                return std::unexpected(
                    Error::data(builder_label(c, ci) + ": heap of " + str(heap.size()) +
                                " bytes is beyond the reach of P descriptors (at most " +
                                str(kMaxPDescriptorField) + " bytes); use a Q column"));
            }
            const std::uint64_t max_field = p ? kMaxPDescriptorField : kMaxI64;
            const BinKind element = c.vla_kind.value_or(BinKind::Byte);
            for (std::uint64_t r = 0; r < n_rows; ++r) {
                const std::uint8_t* cell = rows.data() + r * w + offset;
                const std::uint64_t n = p ? load_be_u32(cell) : load_be_u64(cell);
                const std::uint64_t off = p ? load_be_u32(cell + 4) : load_be_u64(cell + 8);
                // The row's text is built only for a message: this loop runs once per row.
                const auto shown = [&] {
                    return builder_label(c, ci) + " row " + str(r) + ": " + (p ? "P" : "Q") +
                           " descriptor (n=" + str(n) + ", off=" + str(off) + ")";
                };
                if (n > max_field || off > max_field) {
                    return fail(Error::data(shown() + " exceeds the signed " + (p ? "32" : "64") +
                                            "-bit range"));
                }
                if (n == 0) continue;
                const std::optional<std::uint64_t> bytes = BinFormat::byte_width(n, element);
                const std::optional<std::uint64_t> end =
                    bytes ? checked_add(off, *bytes) : std::nullopt;
                if (!end || *end > heap.size()) {
                    return fail(Error::data(shown() + " points outside the " + str(heap.size()) +
                                            "-byte heap"));
                }
            }
        }
        offset += cw;
    }
    return {};
}

}  // namespace

std::string column_label(std::string_view who, const BinBuilderColumn& c, std::size_t index) {
    return std::string(who) + ": column `" + c.name + "` (col " + str(index + 1) + ")";
}

std::string bin_column_tform(const BinBuilderColumn& column) {
    std::string out = str(column.repeat);
    out += bin_kind_letter(column.kind);
    if (column.vla_kind) {
        out += bin_kind_letter(*column.vla_kind);
        if (column.vla_max) out += "(" + str(*column.vla_max) + ")";
    }
    return out;
}

Result<BinTableBuilder*> BinTableBuilder::add_column(std::string name, BinKind kind,
                                                     std::uint64_t repeat,
                                                     std::optional<std::string> unit,
                                                     std::optional<std::string> tdim) {
    if (is_descriptor_kind(kind)) {
        return std::unexpected(
            Error::data("BinTableBuilder: use add_vla_column for P/Q descriptors"));
    }
    if (repeat == 0) {
        return fail(Error::data("BinTableBuilder: column repeat must be >= 1"));
    }
    BinBuilderColumn c;
    c.name = std::move(name);
    c.unit = std::move(unit);
    c.tdim = std::move(tdim);
    c.repeat = repeat;
    c.kind = kind;
    columns.push_back(std::move(c));
    return this;
}

Result<BinTableBuilder*> BinTableBuilder::add_vla_column(std::string name, BinKind descriptor,
                                                         BinKind element,
                                                         std::optional<std::string> unit,
                                                         std::optional<std::uint64_t> max) {
    if (!is_descriptor_kind(descriptor)) {
        return std::unexpected(
            Error::data("BinTableBuilder::add_vla_column: descriptor must be P or Q"));
    }
    if (is_descriptor_kind(element)) {
        return std::unexpected(
            Error::data("BinTableBuilder::add_vla_column: VLA element type cannot itself be P/Q"));
    }
    BinBuilderColumn c;
    c.vla_max = max;
    c.name = std::move(name);
    c.unit = std::move(unit);
    c.repeat = 1;
    c.kind = descriptor;
    c.vla_kind = element;
    columns.push_back(std::move(c));
    return this;
}

std::uint64_t BinTableBuilder::row_width() const {
    return checked_row_width(columns).value_or(std::numeric_limits<std::uint64_t>::max());
}

Result<void> BinTableBuilder::encode_descriptor(std::size_t column, std::uint64_t count,
                                                std::uint64_t offset,
                                                std::span<std::uint8_t> cell) const {
    if (column >= columns.size() || !is_descriptor_kind(columns[column].kind)) {
        return fail(Error::data("BinTableBuilder: column " + str(column + 1) +
                                " is not a variable-length column"));
    }
    const BinBuilderColumn& c = columns[column];
    const bool p = c.kind == BinKind::P;
    const std::size_t need = p ? 8 : 16;
    if (cell.size() < need) {
        return fail(Error::data(builder_label(c, column) + ": descriptor cell is " +
                                str(cell.size()) + " bytes, need " + str(need)));
    }
    if (p) {
        if (count > kMaxPDescriptorField || offset > kMaxPDescriptorField) {
            return fail(Error::data(builder_label(c, column) + ": array of " + str(count) +
                                    " elements at heap offset " + str(offset) +
                                    " is beyond the reach of P descriptors (at most " +
                                    str(kMaxPDescriptorField) + "); use a Q column"));
        }
        store_be_u32(cell.data(), static_cast<std::uint32_t>(count));
        store_be_u32(cell.data() + 4, static_cast<std::uint32_t>(offset));
        return {};
    }
    if (count > kMaxI64 || offset > kMaxI64) {
        return fail(Error::data(builder_label(c, column) + ": array of " + str(count) +
                                " elements at heap offset " + str(offset) +
                                " is beyond the reach of Q descriptors"));
    }
    store_be_u64(cell.data(), count);
    store_be_u64(cell.data() + 8, offset);
    return {};
}

Result<BinTableHdu> BinTableBuilder::build(std::uint64_t n_rows, Bytes rows, ByteSpan heap) && {
    const std::optional<std::uint64_t> w = checked_row_width(columns);
    if (!w) return std::unexpected(size_overflow());
    const std::optional<std::uint64_t> t = checked_mul(*w, n_rows);
    // NAXIS1 and NAXIS2 are signed header integers.
    if (!t || *w > kMaxI64 || n_rows > kMaxI64) return std::unexpected(size_overflow());
    if (rows.size() != *t) {
        return fail(Error::data("BinTableBuilder: row data is " + str(rows.size()) +
                                " bytes; expected " + str(n_rows) + " rows x " + str(*w) +
                                " bytes = " + str(*t)));
    }
    VEXLO_TRY(check_descriptors(columns, n_rows, *w, rows, heap));

    Header h;
    VEXLO_TRY(push_str(h, "XTENSION", "BINTABLE"));
    VEXLO_TRY(push_int(h, "BITPIX", 8));
    VEXLO_TRY(push_int(h, "NAXIS", 2));
    VEXLO_TRY(push_int(h, "NAXIS1", static_cast<std::int64_t>(*w)));
    VEXLO_TRY(push_int(h, "NAXIS2", static_cast<std::int64_t>(n_rows)));
    VEXLO_TRY(push_int(h, "PCOUNT", static_cast<std::int64_t>(heap.size())));
    VEXLO_TRY(push_int(h, "GCOUNT", 1));
    VEXLO_TRY(push_int(h, "TFIELDS", static_cast<std::int64_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        BinBuilderColumn& c = columns[i];
        const std::uint64_t n = i + 1;
        VEXLO_TRY(push_str(h, indexed_keyword("TTYPE", n), std::move(c.name)));
        VEXLO_TRY(push_str(h, indexed_keyword("TFORM", n), bin_column_tform(c)));
        if (c.unit) VEXLO_TRY(push_str(h, indexed_keyword("TUNIT", n), std::move(*c.unit)));
        if (c.tdim) VEXLO_TRY(push_str(h, indexed_keyword("TDIM", n), std::move(*c.tdim)));
    }
    if (!heap.empty()) VEXLO_TRY(push_int(h, "THEAP", static_cast<std::int64_t>(*t)));
    if (extname) VEXLO_TRY(push_str(h, "EXTNAME", std::move(*extname)));

    try {
        rows.insert(rows.end(), heap.begin(), heap.end());
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    return BinTableHdu::create(std::move(h), std::move(rows));
}

// ================================== ASCII tables ==================================

namespace {

using AsciiKind = AsciiFormat::Kind;

constexpr std::uint64_t kMaxFieldRange = 65535;

char ascii_letter(AsciiKind k) {
    switch (k) {
        case AsciiKind::A:
            return 'A';
        case AsciiKind::I:
            return 'I';
        case AsciiKind::F:
            return 'F';
        case AsciiKind::E:
            return 'E';
        case AsciiKind::D:
            return 'D';
    }
    return '?';
}

bool has_decimals(AsciiKind k) {
    return k == AsciiKind::F || k == AsciiKind::E || k == AsciiKind::D;
}

// The format as messages show it: I(6), E(15, 7).
std::string format_debug(const AsciiFormat& f) {
    std::string out(1, ascii_letter(f.kind));
    out += "(" + str(f.width);
    if (has_decimals(f.kind)) out += ", " + str(f.decimals);
    return out + ")";
}

bool kind_matches(const AsciiColumnValues& values, AsciiKind k) {
    switch (values.index()) {
        case 0:
            return k == AsciiKind::I;
        case 1:
            return has_decimals(k);
        default:
            return k == AsciiKind::A;
    }
}

std::size_t value_count(const AsciiColumnValues& values) {
    return std::visit([](const auto& v) { return v.size(); }, values);
}

std::string pad_left(std::string s, std::uint64_t width) {
    const std::uint64_t chars = code_point_count(s);
    if (chars < width) s.insert(0, static_cast<std::size_t>(width - chars), ' ');
    return s;
}

std::string pad_right(std::string s, std::uint64_t width) {
    const std::uint64_t chars = code_point_count(s);
    if (chars < width) s.append(static_cast<std::size_t>(width - chars), ' ');
    return s;
}

// Fixed notation with exactly `decimals` digits after the point, correctly rounded. The
// point is written even without decimals ("2."): readers take a field without one as
// holding an implied point and validators refuse it.
std::string render_fixed(double v, std::uint64_t decimals) {
    std::string buf(static_cast<std::size_t>(decimals) + 400, '\0');
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed,
                                 static_cast<int>(decimals));
    buf.resize(static_cast<std::size_t>(r.ptr - buf.data()));
    if (decimals == 0) buf += '.';
    return buf;
}

// d.dddE<exp>: one digit before the point, `decimals` after it (the point also for 0), the
// exponent without '+' or leading zeros.
std::string render_exp(double v, std::uint64_t decimals, char letter) {
    std::string buf(static_cast<std::size_t>(decimals) + 32, '\0');
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                 std::chars_format::scientific, static_cast<int>(decimals));
    buf.resize(static_cast<std::size_t>(r.ptr - buf.data()));
    const std::size_t e = buf.find('e');
    if (e == std::string::npos) return buf;
    std::string_view exp = std::string_view(buf).substr(e + 1);
    const bool negative = !exp.empty() && exp.front() == '-';
    if (!exp.empty() && (exp.front() == '-' || exp.front() == '+')) exp.remove_prefix(1);
    while (exp.size() > 1 && exp.front() == '0')
        exp.remove_prefix(1);
    std::string out = buf.substr(0, e);
    if (decimals == 0) out += '.';
    out += letter;
    if (negative) out += '-';
    out += exp;
    return out;
}

Error rendered_too_wide(const AsciiBuilderColumn& c, std::uint64_t row, const std::string& text,
                        std::uint64_t width) {
    return Error::data("AsciiTableBuilder: column `" + c.name + "` row " + str(row) +
                       ": rendered `" + text + "` is " + str(text.size()) +
                       " bytes, field width is " + str(width));
}

// The field text of one cell, exactly `width` bytes, or an error.
Result<std::string> render_cell(const AsciiBuilderColumn& c, std::uint64_t row) {
    const AsciiFormat& f = c.format;
    const std::uint64_t width = f.width;
    std::string text;
    if (const auto* texts = std::get_if<std::vector<std::string>>(&c.values)) {
        const std::string& s = (*texts)[static_cast<std::size_t>(row)];
        if (s.size() > width) {
            return fail(Error::data("AsciiTableBuilder: column `" + c.name + "` row " + str(row) +
                                    ": string `" + s + "` exceeds A" + str(width)));
        }
        text = pad_right(s, width);
    } else if (const auto* ints =
                   std::get_if<std::vector<std::optional<std::int64_t>>>(&c.values)) {
        const std::optional<std::int64_t>& v = (*ints)[static_cast<std::size_t>(row)];
        if (!v) return ascii_null_cell(c, row, width);
        text = pad_left(std::to_string(*v), width);
    } else {
        const double v = std::get<std::vector<double>>(c.values)[static_cast<std::size_t>(row)];
        if (std::isnan(v)) return ascii_null_cell(c, row, width);
        // No reader takes a text such as "inf" for a number: the table would not read back.
        if (std::isinf(v)) {
            return fail(Error::data("AsciiTableBuilder: column `" + c.name + "` row " + str(row) +
                                    ": " + (v < 0 ? "-inf" : "inf") +
                                    " has no ASCII table form (fields hold finite "
                                    "numbers only)"));
        }
        switch (f.kind) {
            case AsciiKind::F:
                text = render_fixed(v, f.decimals);
                break;
            case AsciiKind::D:
                text = render_exp(v, f.decimals, 'D');
                break;
            default:
                text = render_exp(v, f.decimals, 'E');
                break;
        }
        text = pad_left(std::move(text), width);
    }
    if (text.size() != width) return std::unexpected(rendered_too_wide(c, row, text, width));
    return text;
}

}  // namespace

std::string ascii_tform_text(const AsciiFormat& format) {
    std::string out(1, ascii_letter(format.kind));
    out += str(format.width);
    if (has_decimals(format.kind)) out += "." + str(format.decimals);
    return out;
}

Result<std::string> ascii_null_cell(const AsciiBuilderColumn& column, std::uint64_t row,
                                    std::uint64_t width) {
    if (!column.tnull) {
        return fail(Error::data(
            "AsciiTableBuilder: column `" + column.name + "` row " + str(row) +
            " is undefined but no TNULL is set; Sec.7.2.5 reads a blank numeric field as zero, "
            "so an undefined value needs a TNULLn sentinel"));
    }
    const std::string& t = *column.tnull;
    if (t.size() > width) {
        return fail(Error::data("AsciiTableBuilder: column `" + column.name + "`: TNULL `" + t +
                                "` exceeds the " + str(width) + "-character field"));
    }
    // Left-justified: a null field is the TNULL text filled with blanks to the field width,
    // which is the field other readers compare with the TNULL text.
    std::string text = pad_right(t, width);
    if (text.size() != width) return std::unexpected(rendered_too_wide(column, row, text, width));
    return text;
}

Result<AsciiTableBuilder*> AsciiTableBuilder::add_column(std::string name, AsciiFormat format,
                                                         AsciiColumnValues values) {
    if (!kind_matches(values, format.kind)) {
        return fail(Error::data("AsciiTableBuilder: column `" + name +
                                "`: data kind does not match format " + format_debug(format)));
    }
    AsciiBuilderColumn c;
    c.values = std::move(values);
    c.format = format;
    c.name = std::move(name);
    columns.push_back(std::move(c));
    return this;
}

Result<AsciiTableBuilder*> AsciiTableBuilder::unit(std::string unit) {
    if (columns.empty()) return fail(Error::data("unit: no column added yet"));
    columns.back().unit = std::move(unit);
    return this;
}

Result<AsciiTableBuilder*> AsciiTableBuilder::tnull(std::string tnull) {
    if (columns.empty()) return fail(Error::data("tnull: no column added yet"));
    if (columns.back().format.kind == AsciiKind::A) {
        return std::unexpected(
            Error::data("AsciiTableBuilder::tnull: TNULL is not meaningful for `A` columns"));
    }
    columns.back().tnull = std::move(tnull);
    return this;
}

Result<AsciiTableHdu> AsciiTableBuilder::build() && {
    if (columns.empty()) {
        return fail(Error::data("AsciiTableBuilder: at least one column is required"));
    }
    const std::uint64_t n_rows = value_count(columns.front().values);
    for (const AsciiBuilderColumn& c : columns) {
        const std::uint64_t n = value_count(c.values);
        if (n != n_rows) {
            return fail(Error::data("AsciiTableBuilder: column `" + c.name + "` has " + str(n) +
                                    " rows; expected " + str(n_rows)));
        }
    }

    // Fields back to back: column n + 1 starts right after column n.
    std::vector<std::uint64_t> starts;
    starts.reserve(columns.size());
    std::uint64_t w = 0;
    for (const AsciiBuilderColumn& c : columns) {
        // Rendering sizes its scratch text by the format, so the format is bounded first.
        if (c.format.width > kMaxFieldRange || c.format.decimals > kMaxFieldRange) {
            return fail(Error::data(
                "AsciiTableBuilder: column `" + c.name + "`: format " + format_debug(c.format) +
                " is outside the supported range (widths and decimals up to 65535)"));
        }
        starts.push_back(w + 1);
        w += c.format.width;  // at most 65535 per column: no overflow
    }
    const std::optional<std::uint64_t> t = checked_mul(w, n_rows);
    if (!t || *t > std::numeric_limits<std::size_t>::max() || n_rows > kMaxI64) {
        return std::unexpected(size_overflow());
    }

    Bytes data;
    try {
        data.assign(static_cast<std::size_t>(*t), ' ');
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    for (std::uint64_t r = 0; r < n_rows; ++r) {
        std::uint8_t* row = data.data() + r * w;
        for (std::size_t ci = 0; ci < columns.size(); ++ci) {
            VEXLO_ASSIGN_OR_RETURN(const std::string field, render_cell(columns[ci], r));
            std::copy(field.begin(), field.end(), row + (starts[ci] - 1));
        }
    }

    Header h;
    VEXLO_TRY(push_str(h, "XTENSION", "TABLE"));
    VEXLO_TRY(push_int(h, "BITPIX", 8));
    VEXLO_TRY(push_int(h, "NAXIS", 2));
    VEXLO_TRY(push_int(h, "NAXIS1", static_cast<std::int64_t>(w)));
    VEXLO_TRY(push_int(h, "NAXIS2", static_cast<std::int64_t>(n_rows)));
    VEXLO_TRY(push_int(h, "PCOUNT", 0));
    VEXLO_TRY(push_int(h, "GCOUNT", 1));
    VEXLO_TRY(push_int(h, "TFIELDS", static_cast<std::int64_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        AsciiBuilderColumn& c = columns[i];
        const std::uint64_t n = i + 1;
        VEXLO_TRY(push_str(h, indexed_keyword("TTYPE", n), std::move(c.name)));
        VEXLO_TRY(push_str(h, indexed_keyword("TFORM", n), ascii_tform_text(c.format)));
        VEXLO_TRY(push_int(h, indexed_keyword("TBCOL", n), static_cast<std::int64_t>(starts[i])));
        if (c.unit) VEXLO_TRY(push_str(h, indexed_keyword("TUNIT", n), std::move(*c.unit)));
        if (c.tnull) VEXLO_TRY(push_str(h, indexed_keyword("TNULL", n), std::move(*c.tnull)));
    }
    if (extname) VEXLO_TRY(push_str(h, "EXTNAME", std::move(*extname)));
    return AsciiTableHdu::create(std::move(h), std::move(data));
}

// ===================================== the user's cards =====================================

Result<void> put_card(Header& h, std::string_view key, const Value& value,
                      const std::optional<std::string>& comment) {
    const Layout& layout = h.layout();
    const std::optional<std::size_t> found = layout.first_value(key);
    if (!found) {
        VEXLO_TRY(h.set(key, value, comment));
        return {};
    }
    const std::size_t at = *found;
    const std::optional<std::string> kept = h.view_at(at).comment();
    h.remove(key);
    // A comment read leniently from a file may hold bytes a card cannot be written with;
    // the value matters, the comment does not.
    if (!h.insert(at, key, value, kept)) VEXLO_TRY(h.insert(at, key, value, std::nullopt));
    return {};
}

Result<void> add_unsigned_offset_cards(Header& user, double offset) {
    // The stored values are offset whatever the user's header says: any other BZERO or
    // BSCALE would make every reader shift or scale them wrongly.
    // The signed-byte offset is written as an integer, as other writers do: some readers add
    // a real BZERO in floating point and then cannot cast the sum back to int8.
    const Value zero = offset == -128.0 ? Value::make_integer(-128) : Value::make_real(offset);
    VEXLO_TRY(put_card(user, "BZERO", zero, std::string("offset for unsigned/signed convention")));
    return put_card(user, "BSCALE", Value::make_real(1.0), std::nullopt);
}

Result<void> fit_user_scaling_cards(Header& user, Bitpix stored, std::optional<double> offset) {
    if (offset) return add_unsigned_offset_cards(user, *offset);
    if (is_float(stored)) {
        user.remove("BZERO");
        user.remove("BSCALE");
        user.remove("BLANK");
    }
    return {};
}

void merge_user_header(Header& built, const Header& user) {
    const std::size_t n = user.len();
    for (std::size_t i = 0; i < n; ++i) {
        const CardView view = user.view_at(i);
        const std::string key = ascii_upper(card_keyword(view.bytes.first(kCardLen), true));
        if (!is_reserved_keyword(key)) {
            built.push_raw(view.bytes);
            continue;
        }
        if (key == "CHECKSUM" || key == "DATASUM") continue;
        const std::optional<std::string> comment = view.comment();
        if (!comment) continue;
        const std::optional<CardView> target = built.get(key);
        if (!target) continue;
        const std::optional<Value> value = target->value();
        if (!value) continue;
        const Value kept = *value;  // `target` views bytes that the edit replaces
        (void)built.set(key, kept, comment);
    }
}

bool is_other_kind_keyword(std::string_view keyword) {
    static constexpr std::string_view kWhole[] = {"TFIELDS", "THEAP", "GROUPS"};
    static constexpr std::string_view kIndexed[] = {"TTYPE", "TFORM", "TBCOL", "TDIM",
                                                    "TNULL", "TSCAL", "TZERO", "TDISP",
                                                    "PTYPE", "PSCAL", "PZERO"};
    for (const std::string_view k : kWhole) {
        if (keyword == k) return true;
    }
    for (const std::string_view root : kIndexed) {
        if (is_indexed_keyword(keyword, root)) return true;
    }
    return false;
}

std::optional<std::string> image_user_header_refusal(const Header& user) {
    const std::size_t n = user.len();
    for (std::size_t i = 0; i < n; ++i) {
        const CardView view = user.view_at(i);
        const std::string key = ascii_upper(card_keyword(view.bytes.first(kCardLen), true));
        if (!is_other_kind_keyword(key)) continue;
        return "header card " + key +
               " belongs to a table or random-groups HDU and cannot go on an image";
    }
    return std::nullopt;
}

// ===================================== character cells =====================================

std::optional<std::string> non_ascii_cell_refusal(std::span<const std::string> cells) {
    for (const std::string& text : cells) {
        for (const char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if (is_ascii_printable(b)) continue;
            return "character columns are restricted to ASCII 32-126 (Standard Sec.7.2.5); "
                   "found byte 0x" +
                   hex_byte(b) + " in " + debug_str(text);
        }
    }
    return std::nullopt;
}

}  // namespace vexlo
