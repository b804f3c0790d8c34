// The symbol table: each symbol's size in the canonical unit of its dimension (angles in
// degrees), whether it takes an SI prefix, and the level records of mag, dB, Np and Sun.
#include "units/table.hpp"

#include <array>
#include <initializer_list>
#include <utility>

namespace vexlo {

namespace {

using enum BaseUnit;

constexpr Dimension dim(std::initializer_list<std::pair<BaseUnit, double>> exps) {
    Dimension d;
    for (const auto& [b, e] : exps)
        d = d.with(b, e);
    return d;
}

constexpr Dimension kNone{};
constexpr double kSteradian = 3282.806350011744;

constexpr Level log_level(double base, double factor) {
    return Level{base, LevelReference{}, factor};
}

struct Symbol {
    std::string_view name;
    double scale;
    Dimension dimension;
    bool takes_prefix;
    UnitKind kind = UnitKind::Linear;
    Level level = {};
};

constexpr Level kMagLevel = log_level(10.0, -2.5);
constexpr Level kSunLevel = {
    0.0, LevelReference{LevelReference::Kind::Object, {}, ReferenceObject::Solar}, 1.0};

constexpr Dimension kCoulomb = dim({{Second, 1}, {Ampere, 1}});
constexpr Dimension kVolt = dim({{Metre, 2}, {Kilogram, 1}, {Second, -3}, {Ampere, -1}});
constexpr Dimension kEnergy = dim({{Metre, 2}, {Kilogram, 1}, {Second, -2}});
constexpr Dimension kPower = dim({{Metre, 2}, {Kilogram, 1}, {Second, -3}});
constexpr Dimension kTesla = dim({{Kilogram, 1}, {Second, -2}, {Ampere, -1}});
constexpr Dimension kFluxDensity = dim({{Kilogram, 1}, {Second, -2}});  // W m^-2 Hz^-1

// clang-format off
constexpr std::array<Symbol, 70> kSymbols = {{
    {"A", 1, dim({{Ampere, 1}}), true},
    {"C", 1, kCoulomb, true},
    {"D", 3.333333333333333e-30, dim({{Metre, 1}, {Second, 1}, {Ampere, 1}}), false},
    {"F", 1, dim({{Metre, -2}, {Kilogram, -1}, {Second, 4}, {Ampere, 2}}), true},
    {"G", 1e-4, kTesla, true},
    {"H", 1, dim({{Metre, 2}, {Kilogram, 1}, {Second, -2}, {Ampere, -2}}), true},
    {"J", 1, kEnergy, true},
    {"K", 1, dim({{Kelvin, 1}}), true},
    {"N", 1, dim({{Metre, 1}, {Kilogram, 1}, {Second, -2}}), true},
    {"R", 242406.840554768, dim({{Metre, -2}, {Second, -1}, {Degree, -2}, {Count, 1}}), true},
    {"S", 1, dim({{Metre, -2}, {Kilogram, -1}, {Second, 3}, {Ampere, 2}}), true},
    {"T", 1, kTesla, true},
    {"V", 1, kVolt, true},
    {"W", 1, kPower, true},
    {"a", 3.15576e7, dim({{Second, 1}}), true},
    {"d", 86400, dim({{Second, 1}}), false},
    {"g", 0.001, dim({{Kilogram, 1}}), true},
    {"h", 3600, dim({{Second, 1}}), false},
    {"m", 1, dim({{Metre, 1}}), true},
    {"s", 1, dim({{Second, 1}}), true},
    {"u", 1.6605390666e-27, dim({{Kilogram, 1}}), false},
    {"kg", 1, dim({{Kilogram, 1}}), false},
    {"sr", kSteradian, dim({{Degree, 2}}), true},
    {"cd", 1, dim({{Candela, 1}}), true},
    {"Hz", 1, dim({{Second, -1}}), true},
    {"Pa", 1, dim({{Metre, -1}, {Kilogram, 1}, {Second, -2}}), true},
    {"Wb", 1, dim({{Metre, 2}, {Kilogram, 1}, {Second, -2}, {Ampere, -1}}), true},
    {"lm", kSteradian, dim({{Degree, 2}, {Candela, 1}}), true},
    {"lx", kSteradian, dim({{Metre, -2}, {Degree, 2}, {Candela, 1}}), true},
    {"yr", 3.15576e7, dim({{Second, 1}}), true},
    {"cy", 3.15576e9, dim({{Second, 1}}), false},
    {"ta", 31556925.25074251, dim({{Second, 1}}), false},
    {"Ba", 31556925.974738877, dim({{Second, 1}}), false},
    {"eV", 1.602176634e-19, kEnergy, true},
    {"Ry", 2.1798723611e-18, kEnergy, false},
    {"AU", 1.495978707e11, dim({{Metre, 1}}), false},
    {"pc", 3.085677581491367e16, dim({{Metre, 1}}), true},
    {"ct", 1, dim({{Count, 1}}), false},
    {"ph", 1, dim({{Count, 1}}), false},
    {"Jy", 1e-26, kFluxDensity, true},
    {"dB", 1, kNone, false, UnitKind::Logarithmic, log_level(10.0, 10.0)},
    {"Np", 1, kNone, false, UnitKind::Logarithmic, log_level(kEulerE, 1.0)},
    {"rad", 57.29577951308232, dim({{Degree, 1}}), true},
    {"mol", 1, dim({{Mole, 1}}), true},
    {"Ohm", 1, dim({{Metre, 2}, {Kilogram, 1}, {Second, -3}, {Ampere, -2}}), true},
    {"deg", 1, dim({{Degree, 1}}), false},
    {"mas", 2.7777777777777776e-7, dim({{Degree, 1}}), false},
    {"min", 60, dim({{Second, 1}}), false},
    {"erg", 1e-7, kEnergy, false},
    {"lyr", 9.4607304725808e15, dim({{Metre, 1}}), false},
    {"mag", 1, kNone, true, UnitKind::Logarithmic, kMagLevel},
    {"pix", 1, dim({{Pixel, 1}}), false},
    {"bin", 1, dim({{Bin, 1}}), false},
    {"bit", 1, dim({{Bit, 1}}), true},
    {"adu", 1, dim({{Adu, 1}}), false},
    {"Sun", 1, kNone, false, UnitKind::Ratio, kSunLevel},
    {"barn", 1e-28, dim({{Metre, 2}}), true},
    {"chan", 1, dim({{Bin, 1}}), false},
    {"byte", 8, dim({{Bit, 1}}), true},
    {"beam", 1, dim({{Beam, 1}}), false},
    {"count", 1, dim({{Count, 1}}), false},
    {"pixel", 1, dim({{Pixel, 1}}), false},
    {"voxel", 1, dim({{Voxel, 1}}), false},
    {"arcmin", 0.016666666666666666, dim({{Degree, 1}}), false},
    {"arcsec", 0.0002777777777777778, dim({{Degree, 1}}), false},
    {"solLum", 3.828e26, kPower, false},
    {"solRad", 6.957e8, dim({{Metre, 1}}), false},
    {"photon", 1, dim({{Count, 1}}), false},
    {"solMass", 1.98841e30, dim({{Kilogram, 1}}), false},
    {"Angstrom", 1e-10, dim({{Metre, 1}}), false},
}};

struct Prefix {
    char letter;
    double multiplier;
};

// "da" is the one two-letter prefix and is tried before these.
constexpr std::array<Prefix, 19> kPrefixes = {{
    {'Y', 1e24}, {'Z', 1e21}, {'E', 1e18}, {'P', 1e15}, {'T', 1e12},
    {'G', 1e9},  {'M', 1e6},  {'k', 1e3},  {'h', 1e2},  {'d', 1e-1},
    {'c', 1e-2}, {'m', 1e-3}, {'u', 1e-6}, {'n', 1e-9}, {'p', 1e-12},
    {'f', 1e-15}, {'a', 1e-18}, {'z', 1e-21}, {'y', 1e-24},
}};
// clang-format on

const Symbol* find_symbol(std::string_view name) {
    for (const Symbol& s : kSymbols) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

Unit to_unit(const Symbol& s) {
    return Unit{s.kind, s.level, s.scale, s.dimension};
}

// A prefix multiplies a linear unit's size; on mag it refines the level (mmag is a
// thousandth of a magnitude), so it divides the factor instead.
Unit with_prefix(const Symbol& s, double multiplier) {
    Unit u = to_unit(s);
    if (u.kind == UnitKind::Logarithmic) {
        u.level.factor /= multiplier;
    } else {
        u.scale *= multiplier;
    }
    return u;
}

}  // namespace

std::optional<Unit> unit_symbol(std::string_view symbol) {
    const Symbol* s = find_symbol(symbol);
    if (s == nullptr) return std::nullopt;
    return to_unit(*s);
}

Result<Unit> lookup_unit_symbol(std::string_view word) {
    // The whole word wins: Pa is the pascal, cd the candela, min the minute.
    if (const Symbol* s = find_symbol(word)) return to_unit(*s);
    if (word.size() > 2 && word.starts_with("da")) {
        const Symbol* s = find_symbol(word.substr(2));
        if (s != nullptr && s->takes_prefix) return with_prefix(*s, 1e1);
    }
    if (word.size() > 1) {
        for (const Prefix& p : kPrefixes) {
            if (p.letter != word[0]) continue;
            const Symbol* s = find_symbol(word.substr(1));
            if (s != nullptr && s->takes_prefix) return with_prefix(*s, p.multiplier);
            break;
        }
    }
    return std::unexpected(Error::header("unrecognized unit `" + std::string(word) +
                                         "` (Standard Sec.4.3 Tables 4-5)"));
}

std::optional<Unit> magnitude_system(std::string_view name) {
    Unit u = to_unit(*find_symbol("mag"));
    if (name == "AB") {
        u.level.reference = {LevelReference::Kind::Absolute,
                             Zero{"AB", 3.630780547701e-23, kFluxDensity}, ReferenceObject::Solar};
    } else if (name == "ST") {
        u.level.reference = {
            LevelReference::Kind::Absolute,
            Zero{"ST", 0.03630780547701, dim({{Metre, -1}, {Kilogram, 1}, {Second, -3}})},
            ReferenceObject::Solar};
    } else if (name == "Vega") {
        u.level.reference = {LevelReference::Kind::Object, {}, ReferenceObject::Vega};
    } else {
        return std::nullopt;
    }
    return u;
}

Unit logarithm_of(const Unit& argument, double base) {
    return Unit{UnitKind::Logarithmic, log_level(base, 1.0), argument.scale, argument.dimension};
}

}  // namespace vexlo
