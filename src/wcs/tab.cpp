#include "wcs/tab.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "hdu/load.hpp"
#include "util/cast.hpp"
#include "util/checked.hpp"
#include "util/number.hpp"
#include "util/text.hpp"
#include "wcs/wcs.hpp"

namespace vexlo {

namespace {

enum TabCode : std::uint8_t {
    kOk = 0,
    kShort,
    kNotMonotonic,
    kZeroWidth,
    kIndexRange,
    kSingular,
    kNoConverge,
};

bool fail(TabFault& f, TabCode code, std::size_t axis = 0, double a = 0, double b = 0,
          double c = 0) {
    f = {code, axis, a, b, c};
    return false;
}

// Ascending when the last value is at least the first; equal neighbours are allowed.
bool is_monotonic(std::span<const double> v) {
    const std::size_t n = v.size();
    if (n < 2) return true;
    const bool ascending = v[n - 1] >= v[0];
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (v[i + 1] == v[i]) continue;
        if (ascending ? !(v[i + 1] >= v[i]) : v[i + 1] > v[i]) return false;
    }
    return true;
}

// `checked` says the list was found monotonic already (index vectors, at resolution).
bool search(std::span<const double> v, double t, double& out, TabFault& f, bool checked = false) {
    const std::size_t n = v.size();
    if (n < 2) return fail(f, kShort);
    const bool ascending = v[n - 1] >= v[0];
    if (!checked && !is_monotonic(v)) return fail(f, kNotMonotonic);
    std::size_t lo = 0;
    std::size_t hi = n - 1;
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (ascending ? t < v[mid] : t > v[mid]) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    const double width = v[hi] - v[lo];
    if (width == 0.0) return fail(f, kZeroWidth);
    out = static_cast<double>(lo) + (t - v[lo]) / width;
    return true;
}

// floor(u) as an index clamped to [0, last].
std::size_t clamped_floor(double u, std::size_t last) {
    const std::int64_t i = saturating_cast<std::int64_t>(std::floor(u));
    if (i < 0) return 0;
    return static_cast<std::uint64_t>(i) > last ? last : static_cast<std::size_t>(i);
}

bool index_of(const TabGroup& g, std::size_t m, double psi, double& u, TabFault& f) {
    const std::uint64_t k = g.sizes[m];
    if (k == 1) {
        u = 0.0;
        return true;
    }
    if (g.index_vectors[m]) {
        if (!search(*g.index_vectors[m], psi, u, f, true)) return false;
    } else {
        u = psi - 1.0;
    }
    if (!(u >= -0.5 && u <= static_cast<double>(k) - 0.5)) {
        return fail(f, kIndexRange, g.wcs_axes[m], psi, u + 1.0, static_cast<double>(k) + 0.5);
    }
    return true;
}

double psi_at(const TabGroup& g, std::size_t m, double u) {
    if (!g.index_vectors[m]) return u + 1.0;
    const std::vector<double>& v = *g.index_vectors[m];
    if (v.size() == 1) return v[0];
    const std::size_t i = clamped_floor(u, v.size() - 2);
    return v[i] + (v[i + 1] - v[i]) * (u - static_cast<double>(i));
}

// Values at fractional indices u over the 2^M corners, with the Jacobian when `jac` is set.
void interpolate(const TabGroup& g, const double* u, double* base, double* frac, double* value,
                 double* jac) {
    const std::size_t m = g.sizes.size();
    for (std::size_t a = 0; a < m; ++a) {
        if (g.sizes[a] == 1) {
            base[a] = 0.0;
            frac[a] = 0.0;
        } else {
            base[a] = static_cast<double>(clamped_floor(u[a], g.sizes[a] - 2));
            frac[a] = u[a] - base[a];
        }
        value[a] = 0.0;
    }
    if (jac) {
        for (std::size_t k = 0; k < m * m; ++k)
            jac[k] = 0.0;
    }
    // M is at most 63 here: resolution refuses more.
    const std::uint64_t corners = std::uint64_t{1} << m;
    for (std::uint64_t e = 0; e < corners; ++e) {
        bool skip = false;
        double weight = 1.0;
        std::uint64_t flat = 0;
        std::uint64_t stride = 1;
        for (std::size_t a = 0; a < m; ++a) {
            const bool bit = (e >> a) & 1u;
            if (g.sizes[a] == 1) {
                if (bit) skip = true;
            } else {
                weight *= bit ? frac[a] : 1.0 - frac[a];
            }
            flat += (static_cast<std::uint64_t>(base[a]) + (bit ? 1u : 0u)) * stride;
            stride *= g.sizes[a];
        }
        if (skip) continue;
        const double* point = g.coords.data() + m * flat;
        // A corner of weight 0 adds nothing, and must not add the NaN of a null there: a
        // point on a grid index takes that grid point's value.
        if (weight != 0.0) {
            for (std::size_t c = 0; c < m; ++c)
                value[c] += weight * point[c];
        }
        if (!jac) continue;
        for (std::size_t j = 0; j < m; ++j) {
            if (g.sizes[j] == 1) continue;
            double d = 1.0;
            for (std::size_t l = 0; l < m; ++l) {
                if (l == j || g.sizes[l] == 1) continue;
                d *= ((e >> l) & 1u) ? frac[l] : 1.0 - frac[l];
            }
            if (!((e >> j) & 1u)) d = -d;
            for (std::size_t c = 0; c < m; ++c)
                jac[c * m + j] += d * point[c];
        }
    }
}

std::string fixed6(double v) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

}  // namespace

std::size_t tab_work_size(std::size_t m) {
    return 6 * m + m * m;
}

Result<double> tab_search(std::span<const double> v, double t) {
    TabFault f;
    double u = 0.0;
    if (!search(v, t, u, f)) return std::unexpected(Error::wcs(tab_message(f)));
    return u;
}

bool tab_forward(const TabGroup& g, std::span<double> values, std::span<double> work, TabFault& f) {
    const std::size_t m = g.sizes.size();
    if (m == 1) {
        double u = 0.0;
        if (!index_of(g, 0, values[0], u, f)) return false;
        const std::vector<double>& c = g.coords;
        if (c.size() == 1) {
            values[0] = c[0];
            return true;
        }
        const std::size_t i = clamped_floor(u, g.sizes[0] - 2);
        const double t = u - static_cast<double>(i);
        // A point on a grid index takes that value exactly, whatever (a null included) its
        // neighbour holds.
        values[0] = t == 0.0 ? c[i] : (t == 1.0 ? c[i + 1] : c[i] + (c[i + 1] - c[i]) * t);
        return true;
    }
    double* u = work.data();
    double* base = u + m;
    double* frac = base + m;
    for (std::size_t a = 0; a < m; ++a) {
        if (!index_of(g, a, values[a], u[a], f)) return false;
    }
    interpolate(g, u, base, frac, values.data(), nullptr);
    return true;
}

bool tab_inverse(const TabGroup& g, std::span<double> values, std::span<double> work, TabFault& f) {
    const std::size_t m = g.sizes.size();
    if (m == 1) {
        double u = 0.0;
        if (g.coords.size() != 1 && !search(g.coords, values[0], u, f)) return false;
        values[0] = psi_at(g, 0, u);
        return true;
    }
    double* u = work.data();
    double* base = u + m;
    double* frac = base + m;
    double* value = frac + m;
    double* r = value + m;
    double* delta = r + m;
    double* jac = delta + m;
    // Start from the nearest grid point (the first of equals).
    const std::size_t points = g.coords.size() / m;
    double best = std::numeric_limits<double>::infinity();
    std::size_t best_g = 0;
    bool found = false;
    for (std::size_t p = 0; p < points; ++p) {
        double d = 0.0;
        for (std::size_t c = 0; c < m; ++c) {
            const double diff = g.coords[c + m * p] - values[c];
            d += diff * diff;
        }
        if (d < best) {
            best = d;
            best_g = p;
            found = true;
        }
    }
    std::size_t rest = found ? best_g : 0;
    for (std::size_t a = 0; a < m; ++a) {
        u[a] = static_cast<double>(rest % g.sizes[a]);
        rest /= g.sizes[a];
    }
    for (int step = 1;; ++step) {
        interpolate(g, u, base, frac, value, jac);
        for (std::size_t c = 0; c < m; ++c)
            r[c] = values[c] - value[c];
        // Gauss-Jordan elimination with partial pivoting.
        for (std::size_t k = 0; k < m; ++k) {
            std::size_t pivot = k;
            double largest = -1.0;
            for (std::size_t row = k; row < m; ++row) {
                const double a = std::fabs(jac[row * m + k]);
                if (std::isnan(a) || a >= largest) {
                    largest = std::isnan(a) ? std::numeric_limits<double>::infinity() : a;
                    pivot = row;
                }
            }
            if (largest < 1e-300) return fail(f, kSingular);
            if (pivot != k) {
                for (std::size_t j = 0; j < m; ++j)
                    std::swap(jac[pivot * m + j], jac[k * m + j]);
                std::swap(r[pivot], r[k]);
            }
            for (std::size_t i = 0; i < m; ++i) {
                if (i == k) continue;
                const double factor = jac[i * m + k] / jac[k * m + k];
                if (factor == 0.0) continue;
                for (std::size_t j = k; j < m; ++j)
                    jac[i * m + j] -= jac[k * m + j] * factor;
                r[i] -= factor * r[k];
            }
        }
        double largest_step = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            delta[k] = r[k] / jac[k * m + k];
            u[k] += delta[k];
            if (std::fabs(delta[k]) > largest_step) largest_step = std::fabs(delta[k]);
        }
        if (largest_step < 1e-12) break;
        if (step >= 100) return fail(f, kNoConverge);
    }
    for (std::size_t a = 0; a < m; ++a)
        values[a] = psi_at(g, a, u[a]);
    return true;
}

std::string tab_message(const TabFault& f) {
    switch (f.code) {
        case kShort:
            return "TAB inverse: lookup array needs at least 2 samples";
        case kNotMonotonic:
            return "TAB inverse: coordinate / index array is not monotonic";
        case kZeroWidth:
            return "TAB inverse: degenerate (zero-width) segment";
        case kIndexRange:
            return "-TAB axis " + std::to_string(f.axis + 1) + ": intermediate coordinate " +
                   format_real_plain(f.a) + " maps to index " + fixed6(f.b) +
                   ", outside the permitted 0.5..=" + format_real_plain(f.c) +
                   " range (Paper III Sec.6.1.2)";
        case kSingular:
            return "-TAB inverse: the coordinate array is singular here, so the world coordinate "
                   "does not determine a unique index";
        case kNoConverge:
            return "-TAB inverse: Newton iteration did not converge; the world coordinate is "
                   "probably outside the tabulated region";
        default:
            return "-TAB: lookup failed";
    }
}

// ---- reading the header and the table ----

namespace {

std::optional<Value> card_value(const Header& header, const std::string& key) {
    const auto card = header.get(key);
    return card ? card->value() : std::nullopt;
}

std::int64_t read_tab_integer(const Header& header, const std::string& key) {
    const std::optional<Value> v = card_value(header, key);
    if (v && v->is(Value::Kind::Integer)) return v->integer;
    if (v && v->is(Value::Kind::Real)) return saturating_cast<std::int64_t>(std::trunc(v->real));
    return 1;
}

std::uint32_t read_coord_axis(const Header& header, const std::string& key) {
    const std::optional<Value> v = card_value(header, key);
    if (v && v->is(Value::Kind::Integer)) {
        return v->integer >= 1 ? static_cast<std::uint32_t>(v->integer) : 1u;
    }
    if (v && v->is(Value::Kind::Real) && v->real > 0.0) {
        return v->real >= 4294967295.0 ? 4294967295u
                                       : static_cast<std::uint32_t>(std::trunc(v->real));
    }
    return 1;
}

Result<std::pair<std::vector<double>, std::optional<std::vector<std::uint64_t>>>> read_tab_column(
    const BinTableHdu& table, const std::string& name, const TabAxisSpec& spec) {
    const BinColumn* column = table.find_column(name);
    const std::string axis = std::to_string(spec.axis + 1);
    if (!column) {
        return std::unexpected(Error::wcs("-TAB axis " + axis + ": BINTABLE `" + spec.extname +
                                          "` has no column `" + name + "`"));
    }
    VEXLO_ASSIGN_OR_RETURN(const BinValue cell, table.read_cell(0, *column));
    std::vector<double> values;
    try {
        if (const auto* ints = std::get_if<BinValue::Int>(&cell.value)) {
            values.reserve(ints->values.size());
            for (const auto& v : ints->values)
                values.push_back(v ? static_cast<double>(*v)
                                   : std::numeric_limits<double>::quiet_NaN());
        } else if (const auto* f = std::get_if<BinValue::Float>(&cell.value)) {
            values = f->values;
        } else if (const auto* f32 = std::get_if<BinValue::F32>(&cell.value)) {
            values.assign(f32->values.begin(), f32->values.end());
        } else if (const auto* f64 = std::get_if<BinValue::F64>(&cell.value)) {
            values = f64->values;
        } else {
            return std::unexpected(Error::wcs("-TAB axis " + axis + ": column `" + name +
                                              "` has unsupported type " + cell.debug()));
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::out_of_memory(Error::wcs("-TAB: cannot allocate column `" + name + "`")));
    }
    return std::make_pair(std::move(values), column->tdim);
}

std::string list_text(const std::vector<std::uint64_t>& v) {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(v[i]);
    }
    return out + "]";
}

// One group: the table, its shape checks, the claims of its axes and the index vectors.
Result<TabGroup> resolve_group(const FitsFile& file, const std::vector<const TabAxisSpec*>& specs) {
    const TabAxisSpec& s0 = *specs.front();
    const std::string axis0 = std::to_string(s0.axis + 1);
    const std::string where =
        "extension `" + s0.extname + "` (EXTVER " + std::to_string(s0.extver) + ")";
    VEXLO_ASSIGN_OR_RETURN(const Hdu hdu, hdu_by_extname(file, s0.extname, s0.extver));
    const auto* table = std::get_if<BinTableHdu>(&hdu.value);
    if (!table) {
        return std::unexpected(
            Error::wcs("-TAB axis " + axis0 + ": " + where + " is not a BINTABLE"));
    }
    std::int64_t level = 1;
    if (const auto v = card_value(table->header, "EXTLEVEL"); v && v->is(Value::Kind::Integer))
        level = v->integer;
    if (level != s0.extlevel) {
        return std::unexpected(Error::wcs("-TAB axis " + axis0 + ": " + where + " has EXTLEVEL " +
                                          std::to_string(level) + ", but PV" + axis0 +
                                          "_2 asks for " + std::to_string(s0.extlevel)));
    }
    if (table->n_rows != 1) {
        return std::unexpected(Error::wcs("-TAB: BINTABLE `" + s0.extname + "` has " +
                                          std::to_string(table->n_rows) +
                                          " rows; Sec.6.2 requires exactly one"));
    }
    VEXLO_ASSIGN_OR_RETURN(auto coords, read_tab_column(*table, s0.coord_column, s0));
    TabGroup g;
    std::size_t m = 1;
    if (coords.second && coords.second->size() >= 2) {
        m = coords.second->size() - 1;
        g.sizes.assign(coords.second->begin() + 1, coords.second->end());
    } else {
        g.sizes.assign(1, coords.first.size());
    }
    // Interpolation walks 2^M corners: M must stay below the width of the corner mask.
    if (m >= 64) {
        return std::unexpected(Error::wcs("-TAB: coordinate array `" + s0.coord_column + "` has " +
                                          std::to_string(m) +
                                          " index axes; at most 63 can be interpolated"));
    }
    if (specs.size() != m) {
        return std::unexpected(Error::wcs(
            "-TAB: coordinate array `" + s0.coord_column + "` describes " + std::to_string(m) +
            " axes, but " + std::to_string(specs.size()) +
            " WCS axes reference it; Sec.6.2 requires the PVi_3 values to account for all of "
            "them"));
    }
    constexpr std::size_t kUnclaimed = std::numeric_limits<std::size_t>::max();
    g.wcs_axes.assign(m, kUnclaimed);
    g.index_vectors.assign(m, std::nullopt);
    for (const TabAxisSpec* s : specs) {
        const std::string ax = std::to_string(s->axis + 1);
        const std::uint32_t claim = s->coord_axis;
        if (claim == 0 || claim > m) {
            return std::unexpected(Error::wcs("-TAB axis " + ax + ": PV" + ax +
                                              "_3 = " + std::to_string(claim) +
                                              " is outside 1..=" + std::to_string(m)));
        }
        if (g.wcs_axes[claim - 1] != kUnclaimed) {
            return std::unexpected(
                Error::wcs("-TAB: axes " + std::to_string(g.wcs_axes[claim - 1] + 1) + " and " +
                           ax + " both claim coordinate-array axis " + std::to_string(claim)));
        }
        g.wcs_axes[claim - 1] = s->axis;
        if (s->index_column) {
            VEXLO_ASSIGN_OR_RETURN(auto index, read_tab_column(*table, *s->index_column, *s));
            // Checked once here, so that both directions of the lookup agree on it.
            if (!is_monotonic(index.first)) {
                return std::unexpected(Error::wcs("-TAB axis " + ax + ": index vector `" +
                                                  *s->index_column + "` is not monotonic"));
            }
            g.index_vectors[claim - 1] = std::move(index.first);
        }
    }
    // Every size product is checked: the declared shape must describe exactly the cell's
    // values, so that no lookup can index past them.
    std::optional<std::uint64_t> product = std::uint64_t{m};
    for (const std::uint64_t k : g.sizes)
        product = product ? checked_mul(*product, k) : std::nullopt;
    if (!product || *product != coords.first.size()) {
        const std::string implied = product ? std::to_string(*product) : "more than 2^64";
        return std::unexpected(Error::wcs("-TAB: coordinate array has " +
                                          std::to_string(coords.first.size()) +
                                          " elements, but TDIM implies " + implied + " (" +
                                          std::to_string(m) + " x " + list_text(g.sizes) + ")"));
    }
    if (m == 1 && g.sizes[0] == 0) {
        return std::unexpected(
            Error::wcs("-TAB: index axis 1 has K = 0; Sec.6.1.1 forbids "
                       "degenerate axes when several coordinates share a "
                       "table"));
    }
    for (std::size_t a = 0; a < m && m >= 2; ++a) {
        if (g.sizes[a] < 2) {
            return std::unexpected(Error::wcs(
                "-TAB: index axis " + std::to_string(a + 1) +
                " has K = " + std::to_string(g.sizes[a]) +
                "; Sec.6.1.1 forbids degenerate axes when several coordinates share a table"));
        }
    }
    for (std::size_t a = 0; a < m; ++a) {
        if (g.index_vectors[a] && g.index_vectors[a]->size() != g.sizes[a]) {
            return std::unexpected(
                Error::wcs("-TAB: index vector " + std::to_string(a + 1) + " has " +
                           std::to_string(g.index_vectors[a]->size()) +
                           " entries, but its axis has K = " + std::to_string(g.sizes[a])));
        }
    }
    g.coords = std::move(coords.first);
    return g;
}

}  // namespace

Result<TabAxisSpec> parse_tab_axis(const Header& header, std::string_view suffix,
                                   std::size_t axis) {
    const std::string i = std::to_string(axis + 1);
    const std::string a(suffix);
    TabAxisSpec spec;
    spec.axis = axis;
    const std::optional<Value> ext = card_value(header, "PS" + i + "_0" + a);
    if (!ext || !ext->is(Value::Kind::String)) {
        return std::unexpected(Error::wcs("-TAB axis " + i + ": missing PS" + i + "_0" + a +
                                          " (binary table EXTNAME)"));
    }
    spec.extname = std::string(trim_ws(ext->text));
    const std::optional<Value> col = card_value(header, "PS" + i + "_1" + a);
    if (!col || !col->is(Value::Kind::String)) {
        return std::unexpected(Error::wcs("-TAB axis " + i + ": missing PS" + i + "_1" + a +
                                          " (coordinate column TTYPE)"));
    }
    spec.coord_column = std::string(trim_ws(col->text));
    const std::optional<Value> idx = card_value(header, "PS" + i + "_2" + a);
    if (idx && idx->is(Value::Kind::String) && !trim_ws(idx->text).empty()) {
        spec.index_column = std::string(trim_ws(idx->text));
    }
    spec.extver = read_tab_integer(header, "PV" + i + "_1" + a);
    spec.extlevel = read_tab_integer(header, "PV" + i + "_2" + a);
    spec.coord_axis = read_coord_axis(header, "PV" + i + "_3" + a);
    return spec;
}

Result<std::size_t> Wcs::resolve_tab(const FitsFile& file) {
    std::size_t grouped = 0;
    for (const TabGroup& g : tab_groups)
        grouped += g.wcs_axes.size();
    if (grouped == tab_specs.size()) return std::size_t{0};
    // Groups in the order their key first appears; specifications in axis order.
    std::vector<std::vector<const TabAxisSpec*>> groups;
    for (const TabAxisSpec& s : tab_specs) {
        bool placed = false;
        for (auto& g : groups) {
            const TabAxisSpec& k = *g.front();
            if (k.extname == s.extname && k.extver == s.extver && k.extlevel == s.extlevel &&
                k.coord_column == s.coord_column) {
                g.push_back(&s);
                placed = true;
                break;
            }
        }
        if (!placed) groups.push_back({&s});
    }
    std::vector<TabGroup> resolved;
    std::size_t axes_resolved = 0;
    try {
        for (const auto& specs : groups) {
            VEXLO_ASSIGN_OR_RETURN(TabGroup g, resolve_group(file, specs));
            axes_resolved += g.wcs_axes.size();
            resolved.push_back(std::move(g));
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(
            Error::out_of_memory(Error::wcs("-TAB: cannot allocate the lookup tables")));
    }
    tab_groups = std::move(resolved);
    return axes_resolved;
}

}  // namespace vexlo
