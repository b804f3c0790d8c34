// Dimension arithmetic and text, and the two operations that combine units.
#include "units/unit.hpp"

#include <cmath>

#include "util/number.hpp"

namespace vexlo {

namespace {

constexpr double kExponentTolerance = 1e-9;

constexpr std::array<std::string_view, kBaseUnitCount> kBaseNames = {
    "m",     "kg",  "s",   "deg",   "K",     "A",    "mol", "cd",
    "count", "bit", "adu", "pixel", "voxel", "beam", "bin"};

}  // namespace

Dimension Dimension::add(const Dimension& a, const Dimension& b) {
    Dimension d;
    for (std::size_t i = 0; i < kBaseUnitCount; ++i)
        d.exps[i] = a.exps[i] + b.exps[i];
    return d;
}

Dimension Dimension::sub(const Dimension& a, const Dimension& b) {
    Dimension d;
    for (std::size_t i = 0; i < kBaseUnitCount; ++i)
        d.exps[i] = a.exps[i] - b.exps[i];
    return d;
}

bool Dimension::approx_eq(const Dimension& a, const Dimension& b) {
    for (std::size_t i = 0; i < kBaseUnitCount; ++i) {
        // Written so that a NaN difference fails the test.
        if (!(std::fabs(a.exps[i] - b.exps[i]) < kExponentTolerance)) return false;
    }
    return true;
}

bool Dimension::is_dimensionless() const {
    return approx_eq(*this, Dimension{});
}

std::string Dimension::display() const {
    if (is_dimensionless()) return "dimensionless";
    std::string out;
    for (std::size_t i = 0; i < kBaseUnitCount; ++i) {
        const double e = exps[i];
        if (std::fabs(e) < kExponentTolerance) continue;
        if (!out.empty()) out += ' ';
        out += kBaseNames[i];
        if (std::fabs(e - 1.0) < kExponentTolerance) continue;
        const double rounded = std::round(e);  // half away from zero
        if (std::fabs(e - rounded) < kExponentTolerance) {
            out += '^';
            out += format_real_plain(rounded);
        } else {
            out += "^(";
            out += format_real_plain(e);
            out += ')';
        }
    }
    return out;
}

std::string Dimension::debug() const {
    std::string out = "Dimension([";
    for (std::size_t i = 0; i < kBaseUnitCount; ++i) {
        if (i > 0) out += ", ";
        out += format_real_debug(exps[i]);
    }
    out += "])";
    return out;
}

bool LevelReference::same(const LevelReference& a, const LevelReference& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Kind::Unspecified:
            return true;
        case Kind::Object:
            return a.object == b.object;
        case Kind::Absolute:
            return a.zero.value == b.zero.value && a.zero.name == b.zero.name &&
                   Dimension::approx_eq(a.zero.dimension, b.zero.dimension);
    }
    return false;
}

std::string LevelReference::debug() const {
    switch (kind) {
        case Kind::Unspecified:
            return "Unspecified";
        case Kind::Object:
            return object == ReferenceObject::Solar ? "Object(Solar)" : "Object(Vega)";
        case Kind::Absolute:
            return "Absolute(Zero { name: \"" + std::string(zero.name) +
                   "\", value: " + format_real_debug(zero.value) +
                   ", dimension: " + zero.dimension.debug() + " })";
    }
    return "Unspecified";
}

Result<Unit> Unit::mul(const Unit& a, const Unit& b) {
    const bool a_linear = a.kind == UnitKind::Linear;
    const bool b_linear = b.kind == UnitKind::Linear;
    if (!a_linear && !b_linear) {
        return std::unexpected(
            Error::header("a product of two level units (`mag`, `dB`, `Sun`) is not a quantity"));
    }
    // A pure number beside a logarithm scales the level itself: "10 mag" is a tenth as fine.
    const Unit* log = a.kind == UnitKind::Logarithmic   ? &a
                      : b.kind == UnitKind::Logarithmic ? &b
                                                        : nullptr;
    if (log != nullptr) {
        const Unit& lin = log == &a ? b : a;
        if (lin.dimension.is_dimensionless()) {
            Unit out = *log;
            out.level.factor = log->level.factor / lin.scale;
            return out;
        }
    }
    Unit out = a_linear ? b : a;  // kind and level of the non-linear operand, else of b
    out.scale = a.scale * b.scale;
    out.dimension = Dimension::add(a.dimension, b.dimension);
    return out;
}

Result<Unit> Unit::powf(const Unit& u, double p) {
    if (u.kind == UnitKind::Logarithmic && std::fabs(p - 1.0) > kExponentTolerance) {
        return std::unexpected(
            Error::header("a logarithmic unit (`mag`, `dB`) cannot be raised to a power"));
    }
    Unit out = u;
    out.scale = std::pow(u.scale, p);
    for (double& e : out.dimension.exps)
        e *= p;
    return out;
}

}  // namespace vexlo
