// Physical units: a scale over a product of powers of fifteen base units, or a level unit
// (a logarithm such as mag or dB, or a ratio to a reference object such as Sun).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace vexlo {

// The base units, in the order that fixes a dimension's text form.
enum class BaseUnit : std::uint8_t {
    Metre,
    Kilogram,
    Second,
    Degree,  // angles are measured in degrees, not radians
    Kelvin,
    Ampere,
    Mole,
    Candela,
    Count,
    Bit,
    Adu,
    Pixel,
    Voxel,
    Beam,
    Bin,
};

inline constexpr std::size_t kBaseUnitCount = 15;

// Real exponents of the base units (sqrt() and fractional powers give fractions).
struct Dimension {
    std::array<double, kBaseUnitCount> exps{};

    constexpr double operator[](BaseUnit b) const { return exps[static_cast<std::size_t>(b)]; }
    // A copy with the exponent of one base unit set: Dimension{}.with(Metre, 1).with(Second, -1).
    constexpr Dimension with(BaseUnit b, double exponent) const {
        Dimension d = *this;
        d.exps[static_cast<std::size_t>(b)] = exponent;
        return d;
    }

    static Dimension add(const Dimension& a, const Dimension& b);
    static Dimension sub(const Dimension& a, const Dimension& b);
    // Every exponent pair differs by less than 1e-9 (a NaN makes it false).
    static bool approx_eq(const Dimension& a, const Dimension& b);
    bool is_dimensionless() const;
    // "m kg s^-2", "m^(0.5) s^-1", "dimensionless".
    std::string display() const;
    // "Dimension([0.0, 1.0, -2.0, ...])".
    std::string debug() const;
};

enum class UnitKind : std::uint8_t {
    Ratio,        // a plain ratio to a reference object (Sun)
    Logarithmic,  // a logarithmic level (mag, dB, Np, log(), ln())
    Linear,       // an ordinary multiplicative unit
};

enum class ReferenceObject : std::uint8_t { Solar, Vega };

// A photometric zero point: the flux density of magnitude 0 in canonical units.
struct Zero {
    std::string_view name;  // static text: "AB" or "ST"
    double value = 0.0;
    Dimension dimension;
};

struct LevelReference {
    enum class Kind : std::uint8_t { Unspecified, Absolute, Object };
    Kind kind = Kind::Unspecified;
    Zero zero;                                        // Absolute
    ReferenceObject object = ReferenceObject::Solar;  // Object

    // Same variant and content (zero points: exactly equal value, same name, close dimension).
    static bool same(const LevelReference& a, const LevelReference& b);
    // "Unspecified", "Object(Solar)", "Absolute(Zero { name: \"AB\", ... })".
    std::string debug() const;
};

struct Level {
    double base = 10.0;  // 10, e, or 0 for the ratio unit
    LevelReference reference;
    double factor = 1.0;  // the level is factor times the logarithm (-2.5 for magnitudes)
};

struct Converter {
    double scale = 1.0;
    double shift = 0.0;  // value in target = value in source * scale + shift
};

struct Unit {
    UnitKind kind = UnitKind::Linear;
    Level level;  // read only when kind is not Linear
    double scale = 1.0;
    Dimension dimension;

    // The canonical unit of a dimension: Linear with scale 1.
    static Unit canonical(const Dimension& d) { return Unit{UnitKind::Linear, {}, 1.0, d}; }

    static Result<Unit> mul(const Unit& a, const Unit& b);
    static Result<Unit> powf(const Unit& u, double p);

    // Parses a FITS unit string ("km/s", "erg s-1 cm-2", "mag(AB)"); failures name the text
    // and, for syntax errors, the byte offset in the trimmed text.
    static Result<Unit> parse(std::string_view text);

    // The affine map from this unit into `to`, or why none exists.
    Result<Converter> converter_to(const Unit& to) const;
};

// The factor turning a value in unit `text` into the canonical unit of `dimension`; 1.0 for an
// empty text. Fails with the parser's error or with "unit `...`: <conversion error>".
Result<double> canonical_factor(std::string_view text, const Dimension& dimension);

// As canonical_factor, then once more after rewriting informal spellings (arcsecs, km/sec, DN);
// a failed retry reports the first attempt's error.
Result<double> canonical_factor_lenient(std::string_view text, const Dimension& dimension);

// Unit::parse, retried once after rewriting informal spellings; reports the first error.
Result<Unit> parse_unit_lenient(std::string_view text);

// The text with every letter run replaced by its canonical alias; a lone '"' or '\'' becomes
// arcsec or arcmin.
std::string normalize_unit_aliases(std::string_view text);

// Appends the canonical spelling of one word (looked up lower-cased), or the word unchanged.
void canonical_unit_alias(std::string_view word, std::string& out);

}  // namespace vexlo
