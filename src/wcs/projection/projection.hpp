// Map projections between native spherical coordinates (phi, theta) and the projection
// plane (x, y), all in degrees. A projection is a small immutable value: its code and the
// constants derived from its parameters once, at construction.
//
// Per-point work goes through kernels that return a status code and never format text, so a
// batch can pick its two kernels once and run them over every point; the single-point
// forward/inverse build the error message from the status only when a point fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace vexlo {

enum class ProjectionCode : std::uint8_t {
    Azp,
    Szp,
    Tan,
    Stg,
    Sin,
    Arc,
    Zpn,
    Zea,
    Air,
    Cyp,
    Cea,
    Car,
    Mer,
    Sfl,
    Par,
    Mol,
    Ait,
    Cop,
    Coe,
    Cod,
    Coo,
    Bon,
    Pco,
    Tsc,
    Csc,
    Qsc,
    Hpx,
    Xph,
};

inline constexpr std::size_t kProjectionCount = 28;

// The three-letter name of a code ("TAN").
std::string_view projection_name(ProjectionCode code);

// Why one point could not be mapped. Ok is the only success.
enum class ProjStatus : std::uint8_t {
    Ok,
    AzpFold,
    AzpDenominator,
    AzpBehind,
    AzpDegenerate,
    AzpOffSphere,
    SzpMiss,
    SzpNoRoot,
    SzpDenominator,
    SzpHidden,
    TanHemisphere,
    StgSingular,
    SinHemisphere,
    SinBeyondRadius,
    SinOutsideDisc,
    SinNoRoot,
    ZpnRange,
    ZpnFold,
    ZpnNoConvergence,
    ZeaOutside,
    AirSouthPole,
    AirFold,
    AirRadius,
    CypDiverges,
    CypRange,
    CeaRange,
    MerDiverges,
    SflPole,
    ParRange,
    ParDenominator,
    MolRange,
    AitDenominator,
    AitOutside,
    AitDegenerate,
    CopRange,
    CoeGamma,
    CoeRange,
    CooNegative,
    BonZero,
    PcoNoConvergence,
    CubeOutside,
    HpxOutside,
    XphOutside,
    OffMap,
};

// Two doubles: (x, y) or (phi, theta). On a failed step `a` may carry the one computed value
// that the message quotes (the SZP hidden-branch latitude); nothing else is promised.
struct Point2 {
    double a = 0.0;
    double b = 0.0;
};

// A native direction as the rotation gives it, without angles: sin(theta), and cos(theta)
// times sin(phi) and cos(phi).
struct NativeDirection {
    double sin_theta = 0.0;
    double cos_sin_phi = 0.0;
    double cos_cos_phi = 0.0;
};

// The forward projections that can work from a direction instead of the native angles, with
// no trigonometry: the same plane point as the angle kernels to within rounding. False where
// the direction form is not reliable (ZEA next to the native south pole); the angle kernel
// then answers.
bool zea_forward_direction(const NativeDirection& d, Point2& out);
bool ait_forward_direction(const NativeDirection& d, Point2& out);
// The inverse the same way: the native direction of an AIT plane point on the map. False off
// the map and on its edge, where the angle kernel gives the status.
bool ait_inverse_direction(double x, double y, NativeDirection& out);

// One projection parameter PV{lat}_m: given with a value, or not given.
using ProjParam = std::optional<double>;

struct Projection;
using ProjKernel = ProjStatus (*)(const Projection& p, double u, double v, Point2& out);

struct Projection {
    ProjectionCode code = ProjectionCode::Tan;
    // The variant's stored values; each family file names the slots it uses.
    std::array<double, 8> v{};
    // ZPN's coefficients P0 ... P(zpn_len - 1), trimmed at construction.
    std::array<double, 21> zpn{};
    std::uint8_t zpn_len = 0;

    // The projection of a three-letter code (any case) with parameters PV_0, PV_1, ...; a
    // shorter list leaves the later parameters not given.
    static Result<Projection> from_code(std::string_view code, std::span<const ProjParam> params);

    Result<Point2> forward(double phi, double theta) const;
    Result<Point2> inverse(double x, double y) const;
    // The PV{lat}_m cards that describe the variant, in increasing m.
    std::vector<std::pair<std::int32_t, double>> pv_cards() const;

    // The per-point kernels of this projection, chosen once per batch.
    ProjKernel forward_kernel() const;
    ProjKernel inverse_kernel() const;

    // The message of a failed step, from its status, the step's two inputs (phi, theta
    // forward; x, y inverse) and what the kernel left in `out`.
    std::string fault(ProjStatus status, double u, double v, const Point2& out) const;
};

}  // namespace vexlo
