// The unit-string parser: recursive descent over the trimmed bytes, with a nesting limit so
// that hostile input ("((((...") fails cleanly instead of exhausting the stack.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "units/table.hpp"
#include "units/unit.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::size_t kMaxDepth = 64;

class UnitParser {
  public:
    explicit UnitParser(std::string_view text) : text_(text) {}

    Result<Unit> parse_all() {
        VEXLO_ASSIGN_OR_RETURN(Unit u, product());
        skip_blanks();
        if (!at_end()) {
            return std::unexpected(Error::header("unit `" + std::string(text_) +
                                                 "`: trailing text `" +
                                                 std::string(text_.substr(pos_)) + "`"));
        }
        return u;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }
    bool looking_at(std::string_view s) const { return text_.substr(pos_).starts_with(s); }

    // Only the ASCII blank separates; a tab is an ordinary (and therefore bad) character.
    std::size_t skip_blanks() {
        const std::size_t from = pos_;
        while (!at_end() && text_[pos_] == ' ')
            ++pos_;
        return pos_ - from;
    }

    bool starts_factor() const {
        if (at_end()) return false;
        const char c = text_[pos_];
        return c == '(' || is_ascii_digit(c) || is_ascii_letter(c);
    }

    std::unexpected<Error> fail(std::string_view reason) const {
        return std::unexpected(Error::header("unit `" + std::string(text_) +
                                             "`: " + std::string(reason) + " at offset " +
                                             std::to_string(pos_)));
    }

    Result<Unit> call_factor() {
        if (depth_ >= kMaxDepth) return fail("expression nests too deeply");
        ++depth_;
        auto r = factor();
        --depth_;
        return r;
    }

    Result<Unit> product() {
        skip_blanks();
        Unit acc;
        if (peek() != '/') {
            VEXLO_ASSIGN_OR_RETURN(acc, call_factor());
        }
        while (true) {
            const bool blank = skip_blanks() > 0;
            const char c = peek();
            if (!at_end() && c == '/') {
                ++pos_;
                skip_blanks();
                // A numeric divisor takes the blank-separated factors after it: erg/10 cm2 s
                // is erg/(10 cm2 s), while erg/cm2 s is erg s/cm2.
                const bool numeric = is_ascii_digit(peek());
                VEXLO_ASSIGN_OR_RETURN(Unit divisor, call_factor());
                if (numeric) {
                    while (skip_blanks() > 0 && starts_factor()) {
                        VEXLO_ASSIGN_OR_RETURN(Unit next, call_factor());
                        VEXLO_ASSIGN_OR_RETURN(divisor, Unit::mul(divisor, next));
                    }
                }
                VEXLO_ASSIGN_OR_RETURN(Unit inverse, Unit::powf(divisor, -1.0));
                VEXLO_ASSIGN_OR_RETURN(acc, Unit::mul(acc, inverse));
                continue;
            }
            if (!at_end() && (c == '*' || c == '.')) {
                ++pos_;
                skip_blanks();
                VEXLO_ASSIGN_OR_RETURN(Unit next, call_factor());
                VEXLO_ASSIGN_OR_RETURN(acc, Unit::mul(acc, next));
                continue;
            }
            if (!blank || !starts_factor()) return acc;
            VEXLO_ASSIGN_OR_RETURN(Unit next, call_factor());
            VEXLO_ASSIGN_OR_RETURN(acc, Unit::mul(acc, next));
        }
    }

    // '(' product ')' after the function name and its '(' have been consumed.
    Result<Unit> argument() {
        VEXLO_ASSIGN_OR_RETURN(Unit arg, product());
        skip_blanks();
        if (peek() != ')' || at_end()) return fail("unclosed (");
        ++pos_;
        return arg;
    }

    Result<Unit> factor() {
        skip_blanks();
        VEXLO_ASSIGN_OR_RETURN(Unit unit, base_factor());
        std::optional<double> power;
        if (looking_at("**")) {
            pos_ += 2;
            VEXLO_ASSIGN_OR_RETURN(power, exponent());
        } else if (!at_end() && peek() == '^') {
            ++pos_;
            VEXLO_ASSIGN_OR_RETURN(power, exponent());
        } else if (!at_end() &&
                   (is_ascii_digit(peek()) || peek() == '+' || peek() == '-' || peek() == '(')) {
            VEXLO_ASSIGN_OR_RETURN(power, exponent());
        }
        if (power) {
            VEXLO_ASSIGN_OR_RETURN(unit, Unit::powf(unit, *power));
        }
        // Directly adjacent letters start another factor: m2s is m^2 s.
        if (!at_end() && is_ascii_letter(peek())) {
            VEXLO_ASSIGN_OR_RETURN(Unit next, call_factor());
            return Unit::mul(unit, next);
        }
        return unit;
    }

    Result<Unit> base_factor() {
        if (!at_end() && peek() == '(') {
            ++pos_;
            return argument();
        }
        if (looking_at("mag(")) {
            pos_ += 4;
            const std::size_t from = pos_;
            while (!at_end() && (is_ascii_letter(peek()) || is_ascii_digit(peek())))
                ++pos_;
            auto system = magnitude_system(text_.substr(from, pos_ - from));
            if (!system) {
                return fail("`mag()` takes a zero point: `mag(AB)`, `mag(ST)` or `mag(Vega)`");
            }
            if (at_end() || peek() != ')') return fail("unclosed (");
            ++pos_;
            return *system;
        }
        if (looking_at("sqrt(")) {
            pos_ += 5;
            VEXLO_ASSIGN_OR_RETURN(Unit arg, argument());
            return Unit::powf(arg, 0.5);
        }
        if (looking_at("log(") || looking_at("ln(")) {
            const bool decimal = looking_at("log(");
            pos_ += decimal ? 4 : 3;
            VEXLO_ASSIGN_OR_RETURN(Unit arg, argument());
            if (arg.kind != UnitKind::Linear) {
                return std::unexpected(
                    Error::header("unit `" + std::string(text_) + "`: the argument of `" +
                                  (decimal ? "log" : "ln") + "()` cannot itself be a level unit"));
            }
            return logarithm_of(arg, decimal ? 10.0 : kEulerE);
        }
        if (looking_at("exp(")) {
            pos_ += 4;
            VEXLO_TRY(argument());
            return std::unexpected(
                Error::header("unit `" + std::string(text_) + "`: `exp()` is not a unit"));
        }
        if (!at_end() && is_ascii_digit(peek())) {
            const std::size_t from = pos_;
            while (!at_end() && (is_ascii_digit(peek()) || peek() == '.'))
                ++pos_;
            auto number = parse_decimal(text_.substr(from, pos_ - from));
            if (!number) return fail("malformed numeric factor");
            return Unit{UnitKind::Linear, {}, *number, Dimension{}};
        }
        const std::size_t from = pos_;
        while (!at_end() && is_ascii_letter(peek()))
            ++pos_;
        if (pos_ == from) return fail("expected a unit symbol");
        return lookup_unit_symbol(text_.substr(from, pos_ - from));
    }

    Result<double> exponent() {
        if (!at_end() && peek() == '(') {
            ++pos_;
            const std::size_t close = text_.find(')', pos_);
            if (close == std::string_view::npos) {
                pos_ = text_.size();
                return fail("unclosed exponent");
            }
            const std::string_view content = text_.substr(pos_, close - pos_);
            pos_ = close + 1;
            if (auto p = fraction_power(trim_ws(content))) return *p;
            return std::unexpected(Error::header("unit `" + std::string(text_) +
                                                 "`: bad exponent `" + std::string(content) + "`"));
        }
        const std::size_t from = pos_;
        if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
        while (!at_end() && is_ascii_digit(peek()))
            ++pos_;
        if (!at_end() && peek() == '.' && is_ascii_digit(peek(1))) {
            return fail(
                "a fractional exponent must be parenthesized, as in `m(1.5)` or `m**(3/2)`");
        }
        auto n = parse_int64(text_.substr(from, pos_ - from));
        if (!n || *n < std::numeric_limits<std::int32_t>::min() ||
            *n > std::numeric_limits<std::int32_t>::max()) {
            return fail("expected an integer exponent");
        }
        return static_cast<double>(*n);
    }

    // "1.5", "3/2", " -1 / 2 ": a decimal or a quotient of two; none for a zero denominator.
    static std::optional<double> fraction_power(std::string_view content) {
        const std::size_t slash = content.find('/');
        if (slash == std::string_view::npos) return parse_decimal(content);
        auto num = parse_decimal(trim_ws(content.substr(0, slash)));
        auto den = parse_decimal(trim_ws(content.substr(slash + 1)));
        if (!num || !den || *den == 0.0) return std::nullopt;
        return *num / *den;
    }
};

}  // namespace

Result<Unit> Unit::parse(std::string_view text) {
    const std::string_view trimmed = trim_ws(text);
    if (trimmed.empty()) return Unit::canonical(Dimension{});
    return UnitParser(trimmed).parse_all();
}

}  // namespace vexlo
