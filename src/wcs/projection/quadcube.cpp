// The quad-cube projections TSC, CSC and QSC (the sphere projected onto six cube faces laid
// out in the plane) and the HEALPix projections HPX and XPH.
#include <cmath>

#include "wcs/projection/families.hpp"

namespace vexlo::detail {

namespace {

// Face centres in the plane, faces 0 to 5.
constexpr double kFaceX[6] = {0.0, 0.0, 90.0, 180.0, 270.0, 0.0};
constexpr double kFaceY[6] = {90.0, 0.0, 0.0, 0.0, 0.0, -90.0};

struct FaceCoords {
    double zeta;
    double xi;
    double eta;
};

// (zeta, xi, eta) of direction (l, m, n) on face f.
inline FaceCoords face_coords(int f, double l, double m, double n) {
    switch (f) {
        case 0:
            return {n, m, -l};
        case 1:
            return {l, m, n};
        case 2:
            return {m, -l, n};
        case 3:
            return {-l, -m, n};
        case 4:
            return {-m, l, n};
        default:
            return {-n, m, l};
    }
}

// The direction (l, m, n) of face values (zeta, xi, eta) on face f.
inline void face_direction(int f, double zeta, double xi, double eta, double& l, double& m,
                           double& n) {
    switch (f) {
        case 0:
            l = -eta, m = xi, n = zeta;
            break;
        case 1:
            l = zeta, m = xi, n = eta;
            break;
        case 2:
            l = -xi, m = zeta, n = eta;
            break;
        case 3:
            l = -zeta, m = -xi, n = eta;
            break;
        case 4:
            l = xi, m = -zeta, n = eta;
            break;
        default:
            l = eta, m = xi, n = -zeta;
            break;
    }
}

inline void direction_cosines(double phi, double theta, double& l, double& m, double& n) {
    const double th = theta * kD2R;
    const double ph = phi * kD2R;
    const double ct = std::cos(th);
    l = ct * std::cos(ph);
    m = ct * std::sin(ph);
    n = std::sin(th);
}

// The face of the largest of n, l, m, -l, -m, -n; ties keep the earlier.
inline int largest_face(double l, double m, double n) {
    const double c[6] = {n, l, m, -l, -m, -n};
    int face = 0;
    for (int i = 1; i < 6; ++i) {
        if (c[i] > c[face]) face = i;
    }
    return face;
}

inline void native_of_direction(double l, double m, double n, Point2& out) {
    out.b = std::asin(clamp_unit(n)) * kR2D;
    out.a = (l == 0.0 && m == 0.0) ? 0.0 : std::atan2(m, l) * kR2D;
}

inline double clamp_face(double v) {
    return clamp_unit(v);
}

// The face a plane point lies on, with its face coordinates clamped to [-1, 1].
inline bool find_face(double x, double y, int& face, double& X, double& Y) {
    for (int f = 0; f < 6; ++f) {
        const double fx = (x - kFaceX[f]) / 45.0;
        const double fy = (y - kFaceY[f]) / 45.0;
        if (std::fabs(fx) <= 1.000000001 && std::fabs(fy) <= 1.000000001) {
            face = f;
            X = clamp_face(fx);
            Y = clamp_face(fy);
            return true;
        }
    }
    return false;
}

// --- CSC polynomials ---

constexpr double kGstar = 1.37484847732;
constexpr double kM = 0.004869491981;
constexpr double kGamma = -0.13161671474;
constexpr double kOmega1 = -0.159596235474;
constexpr double kC00 = 0.141189631152, kC10 = 0.0809701286525, kC01 = -0.281528535557,
                 kC20 = -0.178251207466, kC11 = 0.15384112876, kC02 = 0.106959469314;
constexpr double kD0 = 0.0759196200467, kD1 = -0.0217762490699;

inline double csc_chi(double a, double b) {
    const double a2 = a * a;
    const double b2 = b * b;
    return a * kGstar + a2 * a * (1.0 - kGstar) +
           a * b2 * (1.0 - a2) *
               (kGamma + (kM - kGamma) * a2 +
                (1.0 - b2) * (kC00 + kC10 * a2 + kC01 * b2 + kC20 * a2 * a2 + kC11 * a2 * b2 +
                              kC02 * b2 * b2)) +
           a2 * a * (1.0 - a2) * (kOmega1 - (1.0 - a2) * (kD0 + kD1 * a2));
}

// P[i][j] of the inverse series; zero where i + j > 6.
constexpr double kP[7][7] = {
    {-0.27292696, -0.02819452, 0.2705816, -0.6044156, 0.93412077, -0.63915306, 0.14381585},
    {-0.07629969, -0.01471565, -0.56800938, 1.50880086, -1.4160192, 0.52032238, 0.0},
    {-0.22797056, 0.48051512, 0.30803317, -0.93678576, 0.33887446, 0.0, 0.0},
    {0.54852384, -1.74114454, 0.98938102, 0.08693841, 0.0, 0.0, 0.0},
    {-0.62930065, 1.71547508, -0.83180469, 0.0, 0.0, 0.0, 0.0},
    {0.25795794, -0.53022337, 0.0, 0.0, 0.0, 0.0, 0.0},
    {0.02584375, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
};

inline double csc_series(double u, double v) {
    double sum = 0.0;
    double vj = 1.0;
    for (int j = 0; j <= 6; ++j) {
        double ui = 1.0;
        for (int i = 0; i <= 6 - j; ++i) {
            sum += kP[i][j] * ui * vj;
            ui *= u;
        }
        vj *= v;
    }
    return sum;
}

inline double sign_bit(double v) {
    return std::signbit(v) ? -1.0 : 1.0;
}

}  // namespace

Result<void> setup_quadcube(Projection& p, std::span<const ProjParam> params) {
    if (p.code != ProjectionCode::Hpx) return {};
    // A zero counts as not given: zero facets describe no projection.
    double h = proj_param(params, 1).value_or(0.0);
    double k = proj_param(params, 2).value_or(0.0);
    if (h == 0.0) h = 4.0;
    if (k == 0.0) k = 3.0;
    if (h < 0.0 || k < 0.0) return std::unexpected(Error::wcs("HPX: H and K must be positive"));
    p.v[kHpxH] = h;
    p.v[kHpxK] = k;
    return {};
}

// --- TSC --------------------------------------------------------------------------------------

ProjStatus tsc_forward(const Projection&, double phi, double theta, Point2& out) {
    double l, m, n;
    direction_cosines(phi, theta, l, m, n);
    const double al = std::fabs(l), am = std::fabs(m), an = std::fabs(n);
    int face = 4;
    if (n >= al && n >= am) {
        face = 0;
    } else if (-n >= al && -n >= am) {
        face = 5;
    } else if (l >= an && l >= am) {
        face = 1;
    } else if (m >= an && m >= al) {
        face = 2;
    } else if (-l >= an && -l >= am) {
        face = 3;
    }
    const FaceCoords c = face_coords(face, l, m, n);
    out.a = kFaceX[face] + 45.0 * c.xi / c.zeta;
    out.b = kFaceY[face] + 45.0 * c.eta / c.zeta;
    return ProjStatus::Ok;
}

ProjStatus tsc_inverse(const Projection&, double x, double y, Point2& out) {
    int face = 0;
    double X = 0.0, Y = 0.0;
    if (!find_face(x, y, face, X, Y)) return ProjStatus::CubeOutside;
    const double r = std::sqrt(1.0 + X * X + Y * Y);
    double l, m, n;
    face_direction(face, 1.0, X, Y, l, m, n);
    native_of_direction(l / r, m / r, n / r, out);
    return ProjStatus::Ok;
}

// --- CSC --------------------------------------------------------------------------------------

ProjStatus csc_forward(const Projection&, double phi, double theta, Point2& out) {
    double l, m, n;
    direction_cosines(phi, theta, l, m, n);
    const int face = largest_face(l, m, n);
    const FaceCoords c = face_coords(face, l, m, n);
    const double a = c.xi / c.zeta;
    const double b = c.eta / c.zeta;
    out.a = kFaceX[face] + 45.0 * clamp_face(csc_chi(a, b));
    out.b = kFaceY[face] + 45.0 * clamp_face(csc_chi(b, a));
    return ProjStatus::Ok;
}

ProjStatus csc_inverse(const Projection&, double x, double y, Point2& out) {
    int face = 0;
    double X = 0.0, Y = 0.0;
    if (!find_face(x, y, face, X, Y)) return ProjStatus::CubeOutside;
    const double x2 = X * X;
    const double y2 = Y * Y;
    const double xi = X + X * (1.0 - x2) * csc_series(x2, y2);
    const double eta = Y + Y * (1.0 - y2) * csc_series(y2, x2);
    const double h = 1.0 / std::sqrt(xi * xi + eta * eta + 1.0);
    double l, m, n;
    face_direction(face, h, xi * h, eta * h, l, m, n);
    native_of_direction(l, m, n, out);
    return ProjStatus::Ok;
}

// --- QSC --------------------------------------------------------------------------------------

ProjStatus qsc_forward(const Projection&, double phi, double theta, Point2& out) {
    if (std::fabs(theta - 90.0) < 1e-12) {
        out.a = 0.0;
        out.b = 90.0;
        return ProjStatus::Ok;
    }
    if (std::fabs(theta + 90.0) < 1e-12) {
        out.a = 0.0;
        out.b = -90.0;
        return ProjStatus::Ok;
    }
    double l, m, n;
    direction_cosines(phi, theta, l, m, n);
    const int face = largest_face(l, m, n);
    const FaceCoords c = face_coords(face, l, m, n);
    double X = 0.0;
    double Y = 0.0;
    if (c.xi == 0.0 && c.eta == 0.0) {
        // the face centre
    } else if (std::fabs(c.xi) >= std::fabs(c.eta)) {
        const double w = c.eta / c.xi;
        const double tau = 1.0 + w * w;
        X = sign_bit(c.xi) * std::sqrt((1.0 - c.zeta) / (1.0 - 1.0 / std::sqrt(1.0 + tau)));
        Y = (X / 15.0) * (std::atan(w) - std::asin(w / std::sqrt(2.0 * tau))) * kR2D;
    } else {
        const double w = c.xi / c.eta;
        const double tau = 1.0 + w * w;
        Y = sign_bit(c.eta) * std::sqrt((1.0 - c.zeta) / (1.0 - 1.0 / std::sqrt(1.0 + tau)));
        X = (Y / 15.0) * (std::atan(w) - std::asin(w / std::sqrt(2.0 * tau))) * kR2D;
    }
    out.a = kFaceX[face] + 45.0 * clamp_face(X);
    out.b = kFaceY[face] + 45.0 * clamp_face(Y);
    return ProjStatus::Ok;
}

ProjStatus qsc_inverse(const Projection&, double x, double y, Point2& out) {
    int face = 0;
    double X = 0.0, Y = 0.0;
    if (!find_face(x, y, face, X, Y)) return ProjStatus::CubeOutside;
    const bool direct = std::fabs(X) > std::fabs(Y);
    const double major = direct ? X : Y;
    const double minor = direct ? Y : X;
    double omega = 0.0;
    double tau = 1.0;
    double zeta = 1.0;
    if (major != 0.0) {
        const double w = 15.0 * minor / major * kD2R;
        omega = std::sin(w) / (std::cos(w) - 0.7071067811865476);
        tau = 1.0 + omega * omega;
        zeta = 1.0 - major * major * (1.0 - 1.0 / std::sqrt(1.0 + tau));
    }
    const double u = clamp_unit(zeta);
    const double z = 1.0 - u;
    const double w = std::sqrt(std::fmax(0.0, (2.0 - z) * z / tau));
    // +-W(v): W carrying v's sign (W for v = 0); -+W(v): the opposite.
    const auto pm = [w](double v) { return v < 0.0 ? -w : w; };
    const auto mp = [w](double v) { return v > 0.0 ? -w : w; };
    double l = 0.0, m = 0.0, n = 0.0;
    switch (face) {
        case 0:
            n = u;
            if (direct) {
                m = pm(X), l = -omega * m;
            } else {
                l = mp(Y), m = -omega * l;
            }
            break;
        case 1:
            l = u;
            if (direct) {
                m = pm(X), n = omega * m;
            } else {
                n = pm(Y), m = omega * n;
            }
            break;
        case 2:
            m = u;
            if (direct) {
                l = mp(X), n = -omega * l;
            } else {
                n = pm(Y), l = -omega * n;
            }
            break;
        case 3:
            l = -u;
            if (direct) {
                m = mp(X), n = -omega * m;
            } else {
                n = pm(Y), m = -omega * n;
            }
            break;
        case 4:
            m = -u;
            if (direct) {
                l = pm(X), n = omega * l;
            } else {
                n = pm(Y), l = omega * n;
            }
            break;
        default:
            n = -u;
            if (direct) {
                m = pm(X), l = omega * m;
            } else {
                l = pm(Y), m = omega * l;
            }
            break;
    }
    native_of_direction(l, m, n, out);
    return ProjStatus::Ok;
}

// --- HPX --------------------------------------------------------------------------------------

namespace {
// The centre longitude of the polar facet that longitude v falls in. With an even K the
// southern facets sit half a facet east of the northern ones, so the facet centred on the
// seam at -180 (and +180) is split between the two edges of the plane.
inline double hpx_facet_centre(double v, double h, double k, bool south) {
    const double w = 360.0 / h;
    if (south && std::fmod(k, 2.0) == 0.0) {
        double j = std::floor((180.0 + v) / w + 0.5);
        if (j > h) j = h;
        if (j < 0.0) j = 0.0;
        return -180.0 + w * j;
    }
    double i = std::floor((180.0 + v) / w);
    if (i > h - 1.0) i = h - 1.0;
    if (i < 0.0) i = 0.0;
    return -180.0 + w * i + w / 2.0;
}
}  // namespace

ProjStatus hpx_forward(const Projection& p, double phi, double theta, Point2& out) {
    const double h = p.v[kHpxH];
    const double k = p.v[kHpxK];
    const double s = std::sin(theta * kD2R);
    if ((k - 1.0) / k >= std::fabs(s)) {
        out.a = phi;
        out.b = 90.0 * k * s / h;
        return ProjStatus::Ok;
    }
    const double sigma = std::sqrt(k * (1.0 - std::fabs(s)));
    const double pc = hpx_facet_centre(phi, h, k, s < 0.0);
    out.a = pc + (phi - pc) * sigma;
    const double y = 90.0 * (k + 1.0 - 2.0 * sigma) / h;
    out.b = s < 0.0 ? -y : y;
    return ProjStatus::Ok;
}

ProjStatus hpx_inverse(const Projection& p, double x, double y, Point2& out) {
    const double h = p.v[kHpxH];
    const double k = p.v[kHpxK];
    const double t = y * h / 90.0;
    if (k - 1.0 >= std::fabs(t)) {
        out.a = x;
        out.b = std::asin(clamp_unit(t / k)) * kR2D;
        return ProjStatus::Ok;
    }
    const double sigma = (k + 1.0 - std::fabs(t)) / 2.0;
    if (sigma < 0.0) return ProjStatus::HpxOutside;
    double theta = std::asin(clamp_unit(1.0 - sigma * sigma / k)) * kR2D;
    if (y < 0.0) theta = -theta;
    const double w = 360.0 / h;
    const double pc = hpx_facet_centre(x, h, k, y < 0.0);
    const double d = x - pc;
    if (std::fabs(d) > (w / 2.0) * sigma + 1e-9) return ProjStatus::HpxOutside;
    out.a = sigma < 1e-12 ? pc : pc + d / sigma;
    out.b = theta;
    return ProjStatus::Ok;
}

// --- XPH --------------------------------------------------------------------------------------

ProjStatus xph_forward(const Projection&, double phi, double theta, Point2& out) {
    if (std::fabs(phi) >= 180.0) {
        double c = std::fmod(phi, 360.0);
        if (c < 0.0) c += 360.0;
        if (c >= 180.0) c -= 360.0;
        phi = c;
    }
    const double phi_q = (phi + 180.0) - 180.0;
    double psi = std::fmod(phi + 180.0, 90.0);
    if (psi < 0.0) psi += 90.0;
    const double s = std::sin(theta * kD2R);
    double xi = 0.0;
    double eta = 0.0;
    if (std::fabs(s) <= 0.6666666666666666) {
        eta = 67.5 * s;
        xi = psi;
    } else {
        const double at = std::fabs(theta);
        const double sigma = at < 89.9953218191926 ? std::sqrt(3.0 * (1.0 - std::fabs(s)))
                                                   : (90.0 - at) * 1.224744871391589 * kD2R;
        xi = 45.0 + (psi - 45.0) * sigma;
        eta = (2.0 - sigma) * 45.0;
        if (theta < 0.0) eta = -eta;
    }
    const double xi1 = xi - 45.0;
    const double eta1 = eta - 90.0;
    constexpr double kR = 0.7071067811865476;
    if (phi_q < -90.0) {
        out.a = kR * (eta1 - xi1);
        out.b = kR * (-xi1 - eta1);
    } else if (phi_q < 0.0) {
        out.a = kR * (eta1 + xi1);
        out.b = kR * (eta1 - xi1);
    } else if (phi_q < 90.0) {
        out.a = kR * (xi1 - eta1);
        out.b = kR * (xi1 + eta1);
    } else {
        out.a = kR * (-xi1 - eta1);
        out.b = kR * (xi1 - eta1);
    }
    return ProjStatus::Ok;
}

ProjStatus xph_inverse(const Projection&, double x, double y, Point2& out) {
    constexpr double kR = 0.7071067811865476;
    const double X = x / kR;
    const double Y = y / kR;
    double a, b, phi0;
    if (X <= 0.0 && Y > 0.0) {
        a = -X - Y, b = X - Y, phi0 = -180.0;
    } else if (X < 0.0 && Y <= 0.0) {
        a = X - Y, b = X + Y, phi0 = -90.0;
    } else if (X >= 0.0 && Y < 0.0) {
        a = X + Y, b = Y - X, phi0 = 0.0;
    } else {
        a = Y - X, b = -X - Y, phi0 = 90.0;
    }
    const double eta = b / 2.0 + 90.0;
    if (std::fabs(eta) > 90.0) return ProjStatus::XphOutside;
    const double xi = a / 2.0;
    double phi = 0.0;
    double theta = 0.0;
    // The four facets are triangles: a point beside one belongs to no longitude of its
    // quadrant, as between the polar facets of HPX.
    if (std::fabs(eta) <= 45.0) {
        if (std::fabs(xi) > 45.0 + 1e-9) return ProjStatus::XphOutside;
        phi = phi0 + xi + 45.0;
        theta = std::asin(clamp_unit(eta / 67.5)) * kR2D;
    } else {
        const double sigma = (90.0 - std::fabs(eta)) / 45.0;
        if (std::fabs(xi) > 45.0 * sigma + 1e-9) return ProjStatus::XphOutside;
        if (X == 0.0) {
            phi = Y > 0.0 ? 180.0 : 0.0;
        } else if (Y == 0.0) {
            phi = X < 0.0 ? -90.0 : 90.0;
        } else {
            phi = phi0 + xi / sigma + 45.0;
        }
        theta = sigma < 0.0001 ? 90.0 - 46.78180807402057 * sigma
                               : std::asin(clamp_unit(1.0 - sigma * sigma / 3.0)) * kR2D;
        if (eta < 0.0) theta = -theta;
    }
    double c = std::fmod(phi + 180.0, 360.0);
    if (c < 0.0) c += 360.0;
    out.a = c - 180.0;
    out.b = theta;
    return ProjStatus::Ok;
}

}  // namespace vexlo::detail
