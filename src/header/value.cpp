#include "header/value.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "header/card.hpp"
#include "util/bytes.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// Why a value field or value text could not be read. Kept free of allocation so that the
// lenient entry, which drops every fault, never formats a message it throws away.
struct ValueFault {
    enum class Code : std::uint8_t {
        Unterminated,
        NonAscii,
        MissingImaginary,
        TooManyComponents,
        InvalidComplexPart,
        Unrecognized,
    };
    Code code = Code::Unrecognized;
    unsigned char byte = 0;  // NonAscii
    std::string_view text;   // InvalidComplexPart, Unrecognized
};

Error to_error(const ValueFault& f, std::string_view keyword) {
    std::string msg;
    switch (f.code) {
        case ValueFault::Code::Unterminated:
            msg = "unterminated string literal";
            break;
        case ValueFault::Code::NonAscii:
            msg = "non-ASCII byte 0x" + hex_byte(f.byte) + " in value field";
            break;
        case ValueFault::Code::MissingImaginary:
            msg = "complex value missing imaginary part";
            break;
        case ValueFault::Code::TooManyComponents:
            msg = "complex value has more than two components";
            break;
        case ValueFault::Code::InvalidComplexPart:
            msg = "invalid real `" + std::string(f.text) + "` in complex value";
            break;
        case ValueFault::Code::Unrecognized:
            msg = "unrecognized value `" + std::string(f.text) + "`";
            break;
    }
    return Error::value(std::string(keyword), std::move(msg));
}

template <class T>
using Parsed = std::expected<T, ValueFault>;

ValueFault fault(ValueFault::Code code) {
    ValueFault f;
    f.code = code;
    return f;
}

ValueFault fault_text(ValueFault::Code code, std::string_view text) {
    ValueFault f = fault(code);
    f.text = text;
    return f;
}

// A field split into borrowed parts; the comment is still raw.
struct FieldParts {
    std::string_view value;
    std::optional<std::string_view> comment;
};

// Index of the quote that closes a string opened at `open`, or npos. A doubled quote is an
// escaped quote, so a field ending in such a pair stays open.
std::size_t closing_quote(std::string_view s, std::size_t open) {
    std::size_t i = open + 1;
    while (i < s.size()) {
        if (s[i] == '\'') {
            if (i + 1 < s.size() && s[i + 1] == '\'') {
                i += 2;
                continue;
            }
            return i;
        }
        ++i;
    }
    return std::string_view::npos;
}

std::optional<std::string_view> comment_after_slash(std::string_view rest) {
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return rest.substr(slash + 1);
}

Parsed<FieldParts> split_field(std::string_view field) {
    const std::size_t start = field.find_first_not_of(' ');
    if (start == std::string_view::npos) return FieldParts{};
    FieldParts parts;
    if (field[start] == '\'') {
        const std::size_t close = closing_quote(field, start);
        if (close == std::string_view::npos) {
            return std::unexpected(fault(ValueFault::Code::Unterminated));
        }
        parts.value = field.substr(0, close + 1);
        // Whatever lies between the closing quote and the slash is dropped.
        parts.comment = comment_after_slash(field.substr(close + 1));
    } else {
        const std::size_t slash = field.find('/');
        parts.value = field.substr(0, slash);
        if (slash != std::string_view::npos) parts.comment = field.substr(slash + 1);
    }
    for (char c : parts.value) {
        if (!is_ascii_printable(static_cast<unsigned char>(c))) {
            ValueFault f = fault(ValueFault::Code::NonAscii);
            f.byte = static_cast<unsigned char>(c);
            return std::unexpected(f);
        }
    }
    return parts;
}

// Non-printable bytes become blanks and blanks are trimmed from both ends; after the
// replacement only blanks can be white space, so trimming bytes outside 0x21..0x7E first
// gives the same text with one allocation.
std::string clean_comment(std::string_view raw) {
    const auto visible = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u <= 0x7E;
    };
    std::size_t b = 0;
    std::size_t e = raw.size();
    while (b < e && !visible(raw[b]))
        ++b;
    while (e > b && !visible(raw[e - 1]))
        --e;
    return printable_or_blank(as_bytes(raw.substr(b, e - b)));
}

std::optional<std::string> clean_comment(const std::optional<std::string_view>& raw) {
    if (!raw) return std::nullopt;
    return clean_comment(*raw);
}

Parsed<Value> parse_string(std::string_view t) {
    std::string content;
    std::size_t i = 1;
    for (;;) {
        if (i >= t.size()) return std::unexpected(fault(ValueFault::Code::Unterminated));
        if (t[i] == '\'') {
            if (i + 1 < t.size() && t[i + 1] == '\'') {
                content.push_back('\'');
                i += 2;
                continue;
            }
            break;  // anything after the closing quote is ignored
        }
        content.push_back(t[i]);
        ++i;
    }
    const std::size_t end = content.find_last_not_of(' ');
    content.resize(end == std::string::npos ? 0 : end + 1);
    return Value::make_string(std::move(content));
}

Parsed<Value> parse_complex(std::string_view t) {
    const std::string_view inner = t.substr(1, t.size() - 2);
    const std::size_t first = inner.find(',');
    if (first == std::string_view::npos) {
        return std::unexpected(fault(ValueFault::Code::MissingImaginary));
    }
    if (inner.find(',', first + 1) != std::string_view::npos) {
        return std::unexpected(fault(ValueFault::Code::TooManyComponents));
    }
    const std::string_view re_text = trim_ws(inner.substr(0, first));
    const std::string_view im_text = trim_ws(inner.substr(first + 1));
    const auto re_int = parse_integer(re_text);
    const auto im_int = parse_integer(im_text);
    if (re_int && im_int) return Value::make_complex_integer(*re_int, *im_int);
    const auto re = parse_real(re_text);
    if (!re) return std::unexpected(fault_text(ValueFault::Code::InvalidComplexPart, re_text));
    const auto im = parse_real(im_text);
    if (!im) return std::unexpected(fault_text(ValueFault::Code::InvalidComplexPart, im_text));
    return Value::make_complex_real(*re, *im);
}

// An optional sign and digits only: the shape of an integer, whatever its width.
bool is_integer_literal(std::string_view t) {
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) t.remove_prefix(1);
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
}

// The returned fault may point into `text`.
Parsed<Value> parse_value_text(std::string_view text) {
    const std::string_view t = trim_ws(text);
    if (t.empty()) return Value::make_undefined();
    if (t.front() == '\'') return parse_string(t);
    if (t == "T") return Value::make_logical(true);
    if (t == "F") return Value::make_logical(false);
    if (t.size() >= 2 && t.front() == '(' && t.back() == ')') return parse_complex(t);
    if (const auto i = parse_integer(t)) return Value::make_integer(*i);
    if (const auto r = parse_real(t)) {
        Value v = Value::make_real(*r);
        if (is_integer_literal(t)) v.text = t.front() == '+' ? t.substr(1) : t;
        return v;
    }
    return std::unexpected(fault_text(ValueFault::Code::Unrecognized, t));
}

std::string pair_text(std::string_view a, std::string_view b) {
    std::string out;
    out.reserve(a.size() + b.size() + 4);
    out += '(';
    out += a;
    out += ", ";
    out += b;
    out += ')';
    return out;
}

Value make(Value::Kind kind) {
    Value v;
    v.kind = kind;
    return v;
}

}  // namespace

Value Value::make_logical(bool v) {
    Value out = make(Kind::Logical);
    out.logical = v;
    return out;
}

Value Value::make_integer(std::int64_t v) {
    Value out = make(Kind::Integer);
    out.integer = v;
    return out;
}

Value Value::make_real(double v) {
    Value out = make(Kind::Real);
    out.real = v;
    return out;
}

Value Value::make_complex_integer(std::int64_t re, std::int64_t im) {
    Value out = make(Kind::ComplexInteger);
    out.integer = re;
    out.integer_im = im;
    return out;
}

Value Value::make_complex_real(double re, double im) {
    Value out = make(Kind::ComplexReal);
    out.real = re;
    out.real_im = im;
    return out;
}

Value Value::make_string(std::string v) {
    Value out = make(Kind::String);
    out.text = std::move(v);
    return out;
}

Value Value::make_undefined() {
    return make(Kind::Undefined);
}

Value Value::make_unparsed(std::string v) {
    Value out = make(Kind::Unparsed);
    out.text = std::move(v);
    return out;
}

std::optional<Value> Value::make_integer_of_any_width(std::string_view literal) {
    if (!is_integer_literal(literal)) return std::nullopt;
    if (const auto i = parse_integer(literal)) return make_integer(*i);
    const auto r = parse_real(literal);
    if (!r || !std::isfinite(*r)) return std::nullopt;
    Value v = make_real(*r);
    v.text = literal.front() == '+' ? literal.substr(1) : literal;
    return v;
}

std::string_view Value::integer_literal() const {
    if (kind != Kind::Real || text.empty() || !is_integer_literal(text)) return {};
    const auto back = parse_real(text);
    return back && *back == real ? std::string_view(text) : std::string_view();
}

std::string Value::to_text() const {
    switch (kind) {
        case Kind::Logical:
            return logical ? "T" : "F";
        case Kind::Integer:
            return std::to_string(integer);
        case Kind::Real:
            if (const std::string_view literal = integer_literal(); !literal.empty()) {
                return std::string(literal);
            }
            return format_real_plain(real);
        case Kind::ComplexInteger:
            return pair_text(std::to_string(integer), std::to_string(integer_im));
        case Kind::ComplexReal:
            return pair_text(format_real_plain(real), format_real_plain(real_im));
        case Kind::String:
        case Kind::Unparsed:
            return text;
        case Kind::Undefined:
            break;
    }
    return {};
}

std::string Value::debug() const {
    switch (kind) {
        case Kind::Logical:
            return logical ? "Logical(true)" : "Logical(false)";
        case Kind::Integer:
            return "Integer(" + std::to_string(integer) + ")";
        case Kind::Real:
            return "Real(" + format_real_debug(real) + ")";
        case Kind::ComplexInteger:
            return "ComplexInteger" +
                   pair_text(std::to_string(integer), std::to_string(integer_im));
        case Kind::ComplexReal:
            return "ComplexReal" + pair_text(format_real_debug(real), format_real_debug(real_im));
        case Kind::String:
            return "String(" + debug_str(text) + ")";
        case Kind::Unparsed:
            return "Unparsed(" + debug_str(text) + ")";
        case Kind::Undefined:
            break;
    }
    return "Undefined";
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Value::Kind::Logical:
            return a.logical == b.logical;
        case Value::Kind::Integer:
            return a.integer == b.integer;
        case Value::Kind::Real:
            return a.real == b.real;
        case Value::Kind::ComplexInteger:
            return a.integer == b.integer && a.integer_im == b.integer_im;
        case Value::Kind::ComplexReal:
            return a.real == b.real && a.real_im == b.real_im;
        case Value::Kind::String:
        case Value::Kind::Unparsed:
            return a.text == b.text;
        case Value::Kind::Undefined:
            break;
    }
    return true;
}

Result<std::pair<std::string, std::optional<std::string>>> split_value_comment(
    std::string_view field, std::string_view keyword) {
    const auto parts = split_field(field);
    if (!parts) return std::unexpected(to_error(parts.error(), keyword));
    return std::pair{std::string(parts->value), clean_comment(parts->comment)};
}

Result<Value> parse_value(std::string_view text, std::string_view keyword) {
    auto v = parse_value_text(text);
    if (!v) return std::unexpected(to_error(v.error(), keyword));
    return std::move(*v);
}

Result<ValueAndComment> parse_value_strict(std::string_view keyword, std::string_view field) {
    const auto parts = split_field(field);
    if (!parts) return std::unexpected(to_error(parts.error(), keyword));
    auto v = parse_value_text(parts->value);
    if (!v) return std::unexpected(to_error(v.error(), keyword));
    return ValueAndComment{std::move(*v), clean_comment(parts->comment)};
}

ValueAndComment parse_value_lenient(std::string_view /*keyword*/, std::string_view field) {
    const auto parts = split_field(field);
    if (!parts) {
        const std::string decoded = utf8_lossy(field);
        return ValueAndComment{Value::make_unparsed(std::string(trim_ws_end(decoded))),
                               std::nullopt};
    }
    auto v = parse_value_text(parts->value);
    if (!v) {
        return ValueAndComment{Value::make_unparsed(std::string(trim_ws(parts->value))),
                               clean_comment(parts->comment)};
    }
    return ValueAndComment{std::move(*v), clean_comment(parts->comment)};
}

std::optional<double> parse_real(std::string_view text) {
    // Fortran writes exponents with D; every occurrence reads as E.
    if (text.find_first_of("Dd") == std::string_view::npos) return parse_decimal(text);
    std::string s(text);
    for (char& c : s) {
        if (c == 'D') c = 'E';
        if (c == 'd') c = 'e';
    }
    return parse_decimal(s);
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
    return parse_int64(text);
}

}  // namespace vexlo
