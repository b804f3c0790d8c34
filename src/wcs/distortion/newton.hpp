// The one reverse map of every two-dimensional distortion: Newton's method with the model's own
// exact Jacobian. Distortions give only their forward polynomials; going back needs this.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexlo {

enum class NewtonStatus : std::uint8_t { Ok, Singular, NoConvergence };

// The forward values of a model at one point and their four partial derivatives.
struct NewtonEval {
    double f1 = 0.0;
    double f2 = 0.0;
    double d1u = 0.0;  // dF1/du
    double d1v = 0.0;  // dF1/dv
    double d2u = 0.0;  // dF2/du
    double d2v = 0.0;  // dF2/dv
};

// Solves model(u, v) = (t1, t2) from the start held in (u, v); on Ok (u, v) is the solution.
// `model` is any callable (double, double) -> NewtonEval; the tolerance grows with `scale` so
// that large coordinates are not held to digits they do not have.
template <class Model>
NewtonStatus newton_inverse(const Model& model, double t1, double t2, double scale, double& u,
                            double& v) {
    const double tol = 1e-11 * scale;
    for (int step = 0; step < 32; ++step) {
        const NewtonEval e = model(u, v);
        const double r1 = e.f1 - t1;
        const double r2 = e.f2 - t2;
        if (std::fabs(r1) < tol && std::fabs(r2) < tol) return NewtonStatus::Ok;
        const double det = e.d1u * e.d2v - e.d1v * e.d2u;
        // A NaN determinant never reads as small: such a point runs out its steps.
        if (std::fabs(det) < 1e-15) return NewtonStatus::Singular;
        const double du = (e.d2v * r1 - e.d1v * r2) / det;
        const double dv = (e.d1u * r2 - e.d2u * r1) / det;
        u -= du;
        v -= dv;
        if (std::fabs(du) < tol && std::fabs(dv) < tol) return NewtonStatus::Ok;
    }
    return NewtonStatus::NoConvergence;
}

// "{label}: Jacobian singular during inverse iteration" and its sibling.
inline std::string newton_message(std::string_view label, NewtonStatus s) {
    const char* what = s == NewtonStatus::Singular ? ": Jacobian singular during inverse iteration"
                                                   : ": inverse iteration did not converge";
    return std::string(label) + what;
}

}  // namespace vexlo
