// Conversion between units, factors to canonical units, and the lenient reading of unit
// texts written informally in free-text places such as card comments.
#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "units/unit.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

struct Alias {
    std::string_view key;  // lower case
    std::string_view canonical;
};

// clang-format off
constexpr std::array<Alias, 96> kAliases = {{
    {"d", "d"}, {"h", "h"}, {"m", "m"}, {"s", "s"},
    {"km", "km"}, {"cm", "cm"}, {"mm", "mm"}, {"um", "um"}, {"nm", "nm"}, {"au", "AU"},
    {"as", "arcsec"}, {"hr", "h"}, {"yr", "yr"}, {"hz", "Hz"}, {"jy", "Jy"}, {"dn", "adu"},
    {"px", "pixel"},
    {"ang", "Angstrom"}, {"rad", "rad"}, {"deg", "deg"}, {"mas", "mas"}, {"uas", "0.001mas"},
    {"sec", "s"}, {"min", "min"}, {"day", "d"}, {"khz", "kHz"}, {"mhz", "MHz"}, {"ghz", "GHz"},
    {"thz", "THz"}, {"mjy", "mJy"}, {"ujy", "uJy"}, {"cts", "count"}, {"adu", "adu"},
    {"erg", "erg"},
    {"amin", "arcmin"}, {"asec", "arcsec"}, {"msec", "ms"}, {"usec", "us"}, {"hour", "h"},
    {"days", "d"}, {"year", "yr"}, {"ergs", "erg"},
    {"meter", "m"}, {"metre", "m"}, {"hours", "h"}, {"years", "yr"}, {"hertz", "Hz"},
    {"count", "count"}, {"pixel", "pixel"}, {"gauss", "G"},
    {"meters", "m"}, {"metres", "m"}, {"micron", "um"}, {"radian", "rad"}, {"degree", "deg"},
    {"arcmin", "arcmin"}, {"arcsec", "arcsec"}, {"second", "s"}, {"minute", "min"},
    {"jansky", "Jy"}, {"counts", "count"}, {"photon", "photon"}, {"pixels", "pixel"},
    {"kelvin", "K"},
    {"microns", "um"}, {"radians", "rad"}, {"degrees", "deg"}, {"arcmins", "arcmin"},
    {"arcsecs", "arcsec"}, {"seconds", "s"}, {"minutes", "min"}, {"janskys", "Jy"},
    {"photons", "photon"}, {"kelvins", "K"},
    {"angstrom", "Angstrom"},
    {"kilometer", "km"}, {"kilometre", "km"}, {"nanometer", "nm"}, {"nanometre", "nm"},
    {"angstroms", "Angstrom"},
    {"kilometers", "km"}, {"kilometres", "km"}, {"centimeter", "cm"}, {"centimetre", "cm"},
    {"millimeter", "mm"}, {"millimetre", "mm"}, {"micrometer", "um"}, {"micrometre", "um"},
    {"nanometers", "nm"}, {"nanometres", "nm"},
    {"centimeters", "cm"}, {"centimetres", "cm"}, {"millimeters", "mm"}, {"millimetres", "mm"},
    {"micrometers", "um"}, {"micrometres", "um"},
}};
// clang-format on

std::unexpected<Error> conversion_error(std::string_view text, const Error& e) {
    return std::unexpected(Error::header("unit `" + std::string(text) + "`: " + e.message()));
}

// The factor of an already parsed unit into the canonical unit of `dimension`.
Result<double> factor_into(const Unit& unit, const Dimension& dimension) {
    VEXLO_ASSIGN_OR_RETURN(Converter c, unit.converter_to(Unit::canonical(dimension)));
    return c.scale;
}

}  // namespace

Result<Converter> Unit::converter_to(const Unit& to) const {
    const Unit& from = *this;
    if (!Dimension::approx_eq(from.dimension, to.dimension)) {
        return std::unexpected(Error::header("unit is " + from.dimension.display() + ", but " +
                                             to.dimension.display() + " was required"));
    }
    const double r = from.scale / to.scale;
    const bool from_linear = from.kind == UnitKind::Linear;
    const bool to_linear = to.kind == UnitKind::Linear;
    if (from_linear && to_linear) return Converter{r, 0.0};
    if (from_linear != to_linear) {
        return std::unexpected(
            Error::header("no conversion relates a level unit to a linear one; read the "
                          "reference off the unit and de-log it yourself"));
    }
    if (!LevelReference::same(from.level.reference, to.level.reference)) {
        return std::unexpected(Error::header("levels are measured against different references (" +
                                             from.level.reference.debug() + " and " +
                                             to.level.reference.debug() + ")"));
    }
    // Equal references keep a ratio unit (only Sun) apart from the logarithms.
    if (from.kind == UnitKind::Logarithmic && to.kind == UnitKind::Logarithmic) {
        const double b1 = from.level.base, f1 = from.level.factor;
        const double b2 = to.level.base, f2 = to.level.factor;
        const double scale = f2 * std::log(b1) / (f1 * std::log(b2));
        const double shift = f2 * std::log(r) / std::log(b2);
        return Converter{scale, shift};
    }
    return Converter{r, 0.0};
}

Result<double> canonical_factor(std::string_view text, const Dimension& dimension) {
    const std::string_view trimmed = trim_ws(text);
    if (trimmed.empty()) return 1.0;
    VEXLO_ASSIGN_OR_RETURN(Unit unit, Unit::parse(trimmed));
    auto factor = factor_into(unit, dimension);
    if (!factor) return conversion_error(trimmed, factor.error());
    return *factor;
}

Result<double> canonical_factor_lenient(std::string_view text, const Dimension& dimension) {
    auto first = canonical_factor(text, dimension);
    if (first) return first;
    const std::string normalized = normalize_unit_aliases(text);
    if (normalized == trim_ws(text)) return first;
    auto unit = Unit::parse(normalized);
    if (!unit) return first;
    auto factor = factor_into(*unit, dimension);
    if (!factor) return first;
    return factor;
}

Result<Unit> parse_unit_lenient(std::string_view text) {
    auto first = Unit::parse(text);
    if (first) return first;
    const std::string normalized = normalize_unit_aliases(text);
    if (normalized == trim_ws(text)) return first;
    auto second = Unit::parse(normalized);
    if (second) return second;
    return first;
}

std::string normalize_unit_aliases(std::string_view text) {
    const std::string_view trimmed = trim_ws(text);
    if (trimmed == "\"") return "arcsec";
    if (trimmed == "'") return "arcmin";
    std::string out;
    out.reserve(trimmed.size() + 8);
    std::size_t word_start = 0;
    bool in_word = false;
    for (std::size_t i = 0; i < trimmed.size(); ++i) {
        if (is_ascii_letter(trimmed[i])) {
            if (!in_word) word_start = i;
            in_word = true;
            continue;
        }
        if (in_word) canonical_unit_alias(trimmed.substr(word_start, i - word_start), out);
        in_word = false;
        out += trimmed[i];
    }
    if (in_word) canonical_unit_alias(trimmed.substr(word_start), out);
    return out;
}

void canonical_unit_alias(std::string_view word, std::string& out) {
    const std::string lower = ascii_lower(word);
    for (const Alias& a : kAliases) {
        if (a.key == lower) {
            out += a.canonical;
            return;
        }
    }
    out += word;
}

}  // namespace vexlo
