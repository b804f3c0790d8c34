// Typed reads of header keywords: optional getters that never fail and required getters
// that report why a mandatory keyword is unusable.
#include "header/header.hpp"

#include <cmath>

#include "util/cast.hpp"

namespace vexlo {

namespace {

// 2^63: the largest magnitude a real may have and still be taken as a 64-bit integer
// (saturation turns exactly 2^63 into the largest integer).
constexpr double kTwoPow63 = 9223372036854775808.0;

}  // namespace

std::optional<std::int64_t> Header::get_i64(std::string_view key) const {
    auto v = get_value(key);
    if (!v) return std::nullopt;
    if (v->is(Value::Kind::Integer)) return v->integer;
    if (v->is(Value::Kind::Real)) {
        const double r = v->real;
        if (!std::isfinite(r) || std::trunc(r) != r || std::fabs(r) > kTwoPow63) {
            return std::nullopt;
        }
        return saturating_cast<std::int64_t>(r);
    }
    return std::nullopt;
}

std::optional<double> Header::get_f64(std::string_view key) const {
    auto v = get_value(key);
    if (!v) return std::nullopt;
    if (v->is(Value::Kind::Integer)) return static_cast<double>(v->integer);
    if (v->is(Value::Kind::Real)) return v->real;
    return std::nullopt;
}

std::optional<std::string> Header::get_str(std::string_view key) const {
    auto v = get_value(key);
    if (!v || !v->is(Value::Kind::String)) return std::nullopt;
    return std::move(v->text);
}

Result<std::int64_t> Header::require_i64(std::string_view key) const {
    auto v = get_value(key);
    if (!v) return fail(Error::missing_mandatory(std::string(key)));
    if (!v->is(Value::Kind::Integer)) {
        return std::unexpected(
            Error::value(std::string(key), "expected integer, found " + v->debug()));
    }
    return v->integer;
}

Result<std::int64_t> Header::bitpix() const {
    VEXLO_ASSIGN_OR_RETURN(std::int64_t v, require_i64("BITPIX"));
    if (is_valid_bitpix(v)) return v;
    return fail(Error::value("BITPIX", "illegal BITPIX value " + std::to_string(v)));
}

Result<std::uint64_t> Header::naxis() const {
    VEXLO_ASSIGN_OR_RETURN(std::int64_t v, require_i64("NAXIS"));
    if (v < 0 || v > 999) {
        return std::unexpected(
            Error::value("NAXIS", "NAXIS must be in 0..=999, got " + std::to_string(v)));
    }
    return static_cast<std::uint64_t>(v);
}

Result<std::uint64_t> Header::naxisn(std::uint64_t n) const {
    const std::string key = "NAXIS" + std::to_string(n);
    if (n < 1 || n > 999) return fail(Error::value(key, "axis index out of range"));
    VEXLO_ASSIGN_OR_RETURN(std::int64_t v, require_i64(key));
    if (v < 0) {
        return std::unexpected(
            Error::value(key, key + " must be non-negative, got " + std::to_string(v)));
    }
    return static_cast<std::uint64_t>(v);
}

Result<std::vector<std::uint64_t>> Header::axes() const {
    VEXLO_ASSIGN_OR_RETURN(std::uint64_t n, naxis());
    std::vector<std::uint64_t> out;
    out.reserve(n);  // at most 999, checked by naxis
    for (std::uint64_t i = 1; i <= n; ++i) {
        VEXLO_ASSIGN_OR_RETURN(std::uint64_t len, naxisn(i));
        out.push_back(len);
    }
    return out;
}

std::optional<std::int64_t> Header::blank() const {
    // Only a readable negative BITPIX (floating-point data) rules BLANK out; a missing or
    // illegal BITPIX does not.
    auto bp = bitpix();
    if (bp && *bp < 0) return std::nullopt;
    return get_i64("BLANK");
}

bool Header::is_random_groups() const {
    auto n = naxis();
    if (!n || *n < 2) return false;
    auto first = naxisn(1);
    if (!first || *first != 0) return false;
    auto groups = get_value("GROUPS");
    return groups && groups->is(Value::Kind::Logical) && groups->logical;
}

}  // namespace vexlo
