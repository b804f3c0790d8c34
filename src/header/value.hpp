// Card values and the parser of one card's value field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace vexlo {

struct Value {
    // Variant order is part of the interface.
    enum class Kind : std::uint8_t {
        Logical,
        Integer,
        Real,
        ComplexInteger,
        ComplexReal,
        String,
        Undefined,
        Unparsed,
    };

    Kind kind = Kind::Undefined;
    bool logical = false;
    std::int64_t integer = 0;     // Integer; real part of ComplexInteger
    std::int64_t integer_im = 0;  // imaginary part of ComplexInteger
    double real = 0.0;            // Real; real part of ComplexReal
    double real_im = 0.0;         // imaginary part of ComplexReal
    std::string text;             // String, Unparsed; see integer_literal for Real

    // A Real read from an integer literal too wide for 64 bits (an archive identifier such as
    // 10000000000000000001) keeps the literal, without a '+', so that it can be reported
    // exactly; empty otherwise, and ignored unless it still reads as `real`.
    std::string_view integer_literal() const;

    static Value make_logical(bool v);
    static Value make_integer(std::int64_t v);
    static Value make_real(double v);
    static Value make_complex_integer(std::int64_t re, std::int64_t im);
    static Value make_complex_real(double re, double im);
    static Value make_string(std::string v);
    static Value make_undefined();
    static Value make_unparsed(std::string v);
    // The value of an integer literal of any width (an optional sign and digits): Integer
    // when it fits 64 bits, otherwise the Real nearest to it keeping the literal (see
    // integer_literal), which cards show digit for digit where they have room. None for
    // another text or a number beyond the range of doubles.
    static std::optional<Value> make_integer_of_any_width(std::string_view literal);

    bool is(Kind k) const { return kind == k; }

    // Plain text: "T", "-3", "0.1", "(1, 2)", the string unquoted, "" for Undefined.
    std::string to_text() const;
    // Debug form quoted by messages: Real(2.0), String("abc"), Undefined.
    std::string debug() const;

    friend bool operator==(const Value& a, const Value& b);
};

struct ValueAndComment {
    Value value;
    std::optional<std::string> comment;  // absent when no '/' follows the value
};

// Splits a value field into its value text and optional comment.
Result<std::pair<std::string, std::optional<std::string>>> split_value_comment(
    std::string_view field, std::string_view keyword);

// Parses a value text (no comment) into a Value.
Result<Value> parse_value(std::string_view text, std::string_view keyword);

// split_value_comment then parse_value; the first error is returned.
Result<ValueAndComment> parse_value_strict(std::string_view keyword, std::string_view field);

// Never fails: what cannot be read becomes Unparsed.
ValueAndComment parse_value_lenient(std::string_view keyword, std::string_view field);

// Decimal real with Fortran D exponents accepted.
std::optional<double> parse_real(std::string_view text);
std::optional<std::int64_t> parse_integer(std::string_view text);

}  // namespace vexlo
