#include "hdu/ascii_table.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>
#include <utility>

#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

std::uint64_t field_width(const AsciiFormat& f) {
    return f.width;
}

// Reads a real by the FORTRAN input rules: sign, digits with at most one point, then an
// optional exponent introduced by E/e/D/d or by its own sign. Without a point the last
// `decimals` digits are the fraction (the implied decimal point).
std::optional<double> read_fortran_real(std::string_view s, std::uint64_t decimals) {
    std::size_t i = 0;
    // The digits and the exponent are assembled on the stack unless the field is long.
    char stack[64];
    std::string long_text;
    const std::size_t room = s.size() + 24;  // sign, digits, 'e' and a 64-bit exponent
    if (room > sizeof stack) long_text.resize(room);
    char* const start = room > sizeof stack ? long_text.data() : stack;
    char* out = start;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') *out++ = '-';
        ++i;
    }
    const bool negative = out != start;
    bool point = false;
    bool any_digit = false;
    std::uint64_t fraction_digits = 0;
    std::uint64_t mantissa = 0;     // the digits as an integer, while they are few
    std::uint64_t significant = 0;  // digits from the first non-zero one
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            *out++ = c;
            any_digit = true;
            if (point) ++fraction_digits;
            if (significant > 0 || c != '0') ++significant;
            if (significant <= 15) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        } else if (c == '.') {
            if (point) return std::nullopt;
            point = true;
        } else {
            break;
        }
    }
    std::int64_t exponent = 0;
    if (i < s.size()) {
        if (!any_digit) return std::nullopt;
        std::string_view exp_text;
        const char c = s[i];
        if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
            exp_text = s.substr(i + 1);
        } else if (c == '+' || c == '-') {
            exp_text = s.substr(i);
        } else {
            return std::nullopt;
        }
        const auto e = parse_int64(exp_text);
        if (!e) return std::nullopt;
        exponent = *e;
    }
    if (!any_digit) return std::nullopt;
    const std::uint64_t scale = point ? fraction_digits : decimals;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    const std::int64_t scale_i = static_cast<std::int64_t>(std::min<std::uint64_t>(scale, kMax));
    std::int64_t power = 0;
    if (__builtin_sub_overflow(exponent, scale_i, &power)) power = exponent < 0 ? kMin : kMax;
    // At most 15 significant digits are an exact double, and so is 10^k for |k| <= 22: one
    // multiplication or division then rounds once, to the same value the full conversion gives.
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (significant <= 15 && power >= -22 && power <= 22) {
        const auto m = static_cast<double>(mantissa);
        const double v = power >= 0 ? m * kPowers[power] : m / kPowers[-power];
        return negative ? -v : v;
    }
    *out++ = 'e';
    out = std::to_chars(out, start + room, power).ptr;
    // The text is well formed by construction: converted directly, and only a value out of
    // range goes through the full parse, which decides between infinity and zero.
    double value = 0.0;
    const std::from_chars_result res = std::from_chars(start, out, value);
    if (res.ec == std::errc() && res.ptr == out) return value;
    return parse_decimal(std::string_view(start, static_cast<std::size_t>(out - start)));
}

Result<AsciiTableHdu> build(Header header, DataBuf data) {
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix, header.bitpix());
    if (bitpix != 8) {
        return fail(Error::value("BITPIX", "ASCII table requires BITPIX = 8"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    if (naxis != 2) {
        return fail(Error::value("NAXIS", "ASCII table requires NAXIS = 2"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis1, header.naxisn(1));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis2, header.naxisn(2));
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(naxis1, naxis2, &size)) {
        return fail(Error::data("ASCII table size overflows usize"));
    }
    const std::uint64_t len = data.size();
    if (len != size) {
        return fail(Error::data("ASCII table data slice " + str(len) +
                                " bytes does not match row_size*n_rows = " + str(size)));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t tfields, header.require_i64("TFIELDS"));
    if (tfields < 0) {
        return std::unexpected(
            Error::value("TFIELDS", "TFIELDS must be >= 0, got " + str(tfields)));
    }
    std::vector<AsciiColumn> columns;
    // Every column needs its own TFORMn card, so the header's length bounds a sound count;
    // a larger TFIELDS fails at the first missing TFORMn.
    columns.reserve(std::min<std::uint64_t>(static_cast<std::uint64_t>(tfields), header.len()));
    for (std::uint64_t n = 1; n <= static_cast<std::uint64_t>(tfields); ++n) {
        const std::string tform_key = indexed_keyword("TFORM", n);
        auto tform = header.get_str(tform_key);
        if (!tform) return fail(Error::missing_mandatory(tform_key));
        AsciiColumn c;
        c.index = n;
        VEXLO_ASSIGN_OR_RETURN(c.format, AsciiFormat::parse(*tform));
        const std::string tbcol_key = indexed_keyword("TBCOL", n);
        VEXLO_ASSIGN_OR_RETURN(const std::int64_t tbcol, header.require_i64(tbcol_key));
        if (tbcol < 1) {
            return std::unexpected(
                Error::value(tbcol_key, "TBCOL must be >= 1, got " + str(tbcol)));
        }
        c.start = static_cast<std::uint64_t>(tbcol);
        if (auto v = header.get_str(indexed_keyword("TTYPE", n))) c.name = std::string(trim_ws(*v));
        if (auto v = header.get_str(indexed_keyword("TUNIT", n))) c.unit = std::string(trim_ws(*v));
        c.tscal = header.get_f64(indexed_keyword("TSCAL", n)).value_or(1.0);
        c.tzero = header.get_f64(indexed_keyword("TZERO", n)).value_or(0.0);
        if (c.format.kind != AsciiFormat::Kind::A)
            c.tnull = header.get_str(indexed_keyword("TNULL", n));
        if (auto v = header.get_str(indexed_keyword("TDISP", n)))
            c.tdisp = std::string(trim_ws(*v));
        columns.push_back(std::move(c));
    }

    // Fields may touch or leave gaps but never share a byte.
    std::vector<const AsciiColumn*> by_start;
    by_start.reserve(columns.size());
    for (const AsciiColumn& c : columns)
        by_start.push_back(&c);
    std::stable_sort(
        by_start.begin(), by_start.end(),
        [](const AsciiColumn* a, const AsciiColumn* b) { return a->start < b->start; });
    for (std::size_t i = 1; i < by_start.size(); ++i) {
        const AsciiColumn& prev = *by_start[i - 1];
        const AsciiColumn& cur = *by_start[i];
        std::uint64_t prev_end = 0;
        if (__builtin_add_overflow(prev.start, field_width(prev.format), &prev_end)) {
            // The previous field reaches past any row; say so rather than wrap around.
            return std::unexpected(
                Error::value(indexed_keyword("TBCOL", prev.index), "TBCOL + width overflows"));
        }
        if (cur.start < prev_end) {
            return fail(Error::value(indexed_keyword("TBCOL", cur.index),
                                     "ASCII-table fields overlap: column " + str(prev.index) +
                                         " ends at byte " + str(prev_end) + " but column " +
                                         str(cur.index) + " starts at byte " + str(cur.start) +
                                         " (Sec.7.2.2)"));
        }
    }
    for (const AsciiColumn& c : columns) {
        const std::uint64_t width = field_width(c.format);
        std::uint64_t end = 0;
        if (__builtin_add_overflow(c.start, width, &end)) {
            return std::unexpected(
                Error::value(indexed_keyword("TBCOL", c.index), "TBCOL + width overflows"));
        }
        // end - 1 is the byte after the field (1-based); it may be NAXIS1 + 1 at most.
        if (end - 1 > naxis1) {
            return fail(Error::value(indexed_keyword("TBCOL", c.index),
                                     "field " + str(c.index) + " (TBCOL=" + str(c.start) +
                                         ", width=" + str(width) +
                                         ") extends past row end (NAXIS1=" + str(naxis1) + ")"));
        }
    }

    AsciiTableHdu t;
    t.header = std::move(header);
    t.data = std::move(data);
    t.row_size = naxis1;
    t.n_rows = naxis2;
    t.columns = std::move(columns);
    return t;
}

}  // namespace

Result<AsciiFormat> AsciiFormat::parse(std::string_view tform) {
    auto fail = [](std::string msg) -> Result<AsciiFormat> {
        return vexlo::fail(Error::value("TFORM", std::move(msg)));
    };
    const std::string quoted = "`" + std::string(tform) + "`";
    const std::string_view t = trim_ws(tform);
    if (t.empty()) return fail("empty TFORM");
    auto [code, code_len] = first_code_point(t);
    if (code >= U'a' && code <= U'z') code = code - U'a' + U'A';
    const std::string_view size = t.substr(code_len);
    AsciiFormat f;
    switch (code) {
        case U'A':
        case U'I': {
            f.kind = code == U'A' ? Kind::A : Kind::I;
            const auto w = parse_uint64(trim_ws(size));
            if (!w) return fail("invalid width in " + quoted);
            f.width = *w;
            return f;
        }
        case U'F':
        case U'E':
        case U'D': {
            f.kind = code == U'F' ? Kind::F : code == U'E' ? Kind::E : Kind::D;
            const std::size_t point = size.find('.');
            if (point == std::string_view::npos) return fail(quoted + " requires `w.d` form");
            const auto w = parse_uint64(trim_ws(size.substr(0, point)));
            if (!w) return fail("invalid width in " + quoted);
            const auto d = parse_uint64(trim_ws(size.substr(point + 1)));
            if (!d) return fail("invalid precision in " + quoted);
            f.width = *w;
            f.decimals = *d;
            return f;
        }
        default:
            break;
    }
    std::string shown;
    append_utf8(shown, code);
    return fail("ASCII tables: unsupported format kind `" + shown + "`");
}

Result<AsciiTableHdu> AsciiTableHdu::create(Header header, Bytes data) {
    return build(std::move(header), DataBuf::owned(std::move(data)));
}

Result<AsciiTableHdu> AsciiTableHdu::create_borrowed(Header header, ByteSpan data) {
    return build(std::move(header), DataBuf::borrowed(data));
}

OwnedHdu AsciiTableHdu::into_parts() && {
    return OwnedHdu{std::move(header), std::move(data).into_bytes()};
}

Result<std::string_view> AsciiTableHdu::field_text(std::uint64_t row,
                                                   const AsciiColumn& column) const {
    if (row >= n_rows) {
        return std::unexpected(
            Error::data("row " + str(row) + " out of range (n_rows = " + str(n_rows) + ")"));
    }
    const std::uint64_t width = field_width(column.format);
    // A column of this table always lies within its row; a foreign one is refused rather
    // than read past the row.
    if (column.start < 1 || column.start - 1 > row_size || width > row_size - (column.start - 1)) {
        return fail(Error::value(indexed_keyword("TBCOL", column.index),
                                 "field " + str(column.index) + " (TBCOL=" + str(column.start) +
                                     ", width=" + str(width) +
                                     ") extends past row end (NAXIS1=" + str(row_size) + ")"));
    }
    return as_chars(data.span().subspan(static_cast<std::size_t>(row * row_size + column.start - 1),
                                        static_cast<std::size_t>(width)));
}

Result<std::optional<AsciiValue>> AsciiTableHdu::read_cell(std::uint64_t row,
                                                           const AsciiColumn& column) const {
    using Out = std::optional<AsciiValue>;
    VEXLO_ASSIGN_OR_RETURN(const std::string_view field, field_text(row, column));
    if (!is_valid_utf8(field)) {
        return fail(Error::data("ASCII table row " + str(row) + " col " + str(column.index) +
                                " contains non-UTF8 bytes"));
    }
    const std::string_view trimmed = trim_ws(field);
    if (column.tnull && trimmed == trim_ws(*column.tnull)) return Out{};

    switch (column.format.kind) {
        case AsciiFormat::Kind::A:
            return Out{AsciiValue{std::string(field)}};
        case AsciiFormat::Kind::I: {
            std::int64_t v = 0;
            if (!trimmed.empty()) {
                const auto parsed = parse_int64(trimmed);
                if (!parsed) {
                    return fail(Error::data("ASCII table row " + str(row) + " col " +
                                            str(column.index) + ": not an integer: `" +
                                            std::string(field) + "`"));
                }
                v = *parsed;
            }
            if (column.tscal == 1.0 && column.tzero == 0.0) return Out{AsciiValue{v}};
            return Out{AsciiValue{column.tzero + column.tscal * static_cast<double>(v)}};
        }
        case AsciiFormat::Kind::F:
        case AsciiFormat::Kind::E:
        case AsciiFormat::Kind::D: {
            if (trimmed.empty()) return Out{AsciiValue{0.0 * column.tscal + column.tzero}};
            const auto v = read_fortran_real(trimmed, column.format.decimals);
            if (!v) {
                return fail(Error::data("ASCII table row " + str(row) + " col " +
                                        str(column.index) + ": not a real: `" + std::string(field) +
                                        "`"));
            }
            return Out{AsciiValue{*v * column.tscal + column.tzero}};
        }
    }
    return Out{};
}

}  // namespace vexlo
