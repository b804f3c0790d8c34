#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "wcs/distortion/newton.hpp"
#include "wcs/distortion/sip.hpp"
#include "wcs/distortion/tpv.hpp"
#include "wcs/wcs.hpp"
#include "wcs_fixture.hpp"

namespace vexlo {
namespace {

using testing::header_of;
using testing::kv;
using testing::wcs_error;
using testing::wcs_of;

// --- the shared Newton inverse ---

TEST(NewtonInverse, StartThatFitsIsReturnedWithoutAStep) {
    int evaluations = 0;
    const auto identity = [&](double u, double v) {
        ++evaluations;
        return NewtonEval{u, v, 1.0, 0.0, 0.0, 1.0};
    };
    double u = 3.0, v = -4.0;
    EXPECT_EQ(newton_inverse(identity, 3.0, -4.0, 8.0, u, v), NewtonStatus::Ok);
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(u, 3.0);
    EXPECT_EQ(v, -4.0);
}

TEST(NewtonInverse, SingularAndDivergingModelsFailWithTheirLabel) {
    const auto flat = [](double u, double v) { return NewtonEval{u, v, 1e-8, 0.0, 0.0, 1e-8}; };
    double u = 0.0, v = 0.0;
    const NewtonStatus singular = newton_inverse(flat, 1.0, 1.0, 1.0, u, v);
    EXPECT_EQ(newton_message("TPV", singular), "TPV: Jacobian singular during inverse iteration");
    // u^2 + 1 = 0 has no real root: Newton wanders without converging.
    const auto no_root = [](double a, double b) {
        return NewtonEval{a * a + 1.0, b, 2.0 * a, 0.0, 0.0, 1.0};
    };
    u = 0.3;
    v = 0.0;
    const NewtonStatus lost = newton_inverse(no_root, 0.0, 0.0, 1.0, u, v);
    EXPECT_EQ(newton_message("SIP", lost), "SIP: inverse iteration did not converge");
    u = std::nan("");
    EXPECT_EQ(newton_inverse(no_root, 0.0, 0.0, 1.0, u, v), NewtonStatus::NoConvergence);
}

// --- SIP ---

// A SIP header of the basic cards and these.
Header sip_header(const std::vector<std::string>& extra) {
    std::vector<std::string> cards = {kv("NAXIS", "2"),
                                      kv("CTYPE1", "'RA---TAN-SIP'"),
                                      kv("CTYPE2", "'DEC--TAN-SIP'"),
                                      kv("CRPIX1", "100"),
                                      kv("CRPIX2", "100"),
                                      kv("CRVAL1", "10"),
                                      kv("CRVAL2", "20"),
                                      kv("CDELT1", "-0.001"),
                                      kv("CDELT2", "0.001")};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return testing::header_of_cards(cards);
}

TEST(Sip, HeaderFaultsAreRefused) {
    struct Case {
        std::vector<std::string> cards;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "SIP requires A_ORDER"},
        {{kv("A_ORDER", "2")}, "SIP requires B_ORDER"},
        {{kv("A_ORDER", "10"), kv("B_ORDER", "2")}, "SIP: order 10 exceeds maximum 9"},
        {{kv("A_ORDER", "2.0"), kv("B_ORDER", "2")}, "A_ORDER must be a non-negative integer"},
        {{kv("A_ORDER", "-1"), kv("B_ORDER", "2")}, "A_ORDER must be a non-negative integer"},
        {{kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("A_2_0", "'abc'")}, "A_2_0 must be numeric"},
        {{kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("AP_ORDER", "2")},
         "SIP: AP_ORDER present without BP_ORDER (Malto et al. 2005 Sec.3)"},
        {{kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("BP_ORDER", "1")},
         "SIP: BP_ORDER present without AP_ORDER (Malto et al. 2005 Sec.3)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wcs_error(sip_header(c.cards)), c.message) << c.message;
    EXPECT_EQ(SipPolynomial::from_terms(2, {{2, 1, 1.0}}).error().msg,
              "SIP: term (2,1) exceeds declared order 2");
}

TEST(Sip, OrdersWithoutTermsAreTheIdentityAndLinearTermsCount) {
    const Wcs plain = wcs_of(sip_header(
        {kv("A_ORDER", "2"), kv("B_ORDER", "2"), kv("A_3_0", "5.0"), kv("AP_ORDER", "'x'")}));
    ASSERT_TRUE(plain.celestial && plain.celestial->sip);
    EXPECT_FALSE(plain.celestial->sip->ap);
    const std::vector<double> px = {150.0, 30.0};
    const auto w = plain.pixel_to_world(px);
    ASSERT_TRUE(w);
    const auto back = plain.world_to_pixel(*w);
    ASSERT_TRUE(back);
    EXPECT_NEAR((*back)[0], 150.0, 1e-9);
    EXPECT_NEAR((*back)[1], 30.0, 1e-9);

    // A_1_0 = 0.001 stretches u by 0.1 %: 50 pixels right of CRPIX become 50.05.
    const Wcs linear =
        wcs_of(sip_header({kv("A_ORDER", "1"), kv("B_ORDER", "1"), kv("A_1_0", "0.001")}));
    const auto shifted = linear.pixel_to_world(std::vector<double>{149.0, 99.0});
    const auto plain_shift = plain.pixel_to_world(std::vector<double>{149.05, 99.0});
    ASSERT_TRUE(shifted && plain_shift);
    EXPECT_NEAR((*shifted)[0], (*plain_shift)[0], 1e-12);
    EXPECT_NEAR((*shifted)[1], (*plain_shift)[1], 1e-12);
}

TEST(Sip, PolynomialGradientMatchesDifferences) {
    auto poly = SipPolynomial::from_terms(
        3, {{0, 2, 1e-3}, {1, 1, -2e-3}, {2, 0, 5e-4}, {3, 0, 1e-6}, {1, 2, -3e-6}, {0, 3, 2e-6}});
    ASSERT_TRUE(poly);
    const double u = 37.0, v = -81.0, h = 1e-4;
    double value, du, dv;
    poly->eval_with_gradient(u, v, value, du, dv);
    EXPECT_DOUBLE_EQ(value, poly->eval(u, v));
    const double expect = 1e-3 * v * v - 2e-3 * u * v + 5e-4 * u * u + 1e-6 * u * u * u -
                          3e-6 * u * v * v + 2e-6 * v * v * v;
    EXPECT_NEAR(value, expect, 1e-12);
    EXPECT_NEAR(du, (poly->eval(u + h, v) - poly->eval(u - h, v)) / (2 * h), 1e-7);
    EXPECT_NEAR(dv, (poly->eval(u, v + h) - poly->eval(u, v - h)) / (2 * h), 1e-7);
}

// --- TPV ---

TEST(Tpv, TablesFromPvCards) {
    EXPECT_EQ(TpvTable::from_pv(3, {}).error().msg, "TPV: axis must be 1 or 2 (got 3)");
    EXPECT_EQ(TpvTable::from_pv(1, {{40, 1.0}}).error().msg,
              "TPV: PV1_40 exceeds the 40-coefficient table");
    const TpvTable identity = *TpvTable::from_pv(1, {});
    EXPECT_EQ(identity.degree, 1u);
    EXPECT_EQ(identity.eval(0.3, -0.2), 0.3);
    EXPECT_EQ(TpvTable::from_pv(1, {{1, 0.0}})->eval(0.3, -0.2), 0.0);
    // Table 2 exchanges its variables: PV2_1 multiplies eta, PV2_2 multiplies xi.
    const TpvTable t2 = *TpvTable::from_pv(2, {{1, 1.0}, {2, 0.5}});
    EXPECT_EQ(t2.eval(0.4, 0.1), 0.1 + 0.5 * 0.4);
    // Entry 38 is w^7, entry 17 is u^5, entry 11 is r^3.
    const TpvTable high = *TpvTable::from_pv(1, {{1, 0.0}, {38, 2.0}, {17, 3.0}, {11, 5.0}});
    EXPECT_EQ(high.degree, 7u);
    EXPECT_TRUE(high.has_radial);
    const double u = 0.3, w = -0.4;
    EXPECT_NEAR(high.eval(u, w), 2.0 * std::pow(w, 7) + 3.0 * std::pow(u, 5) + 5.0 * 0.125, 1e-15);
    // r^1 at the origin: value 0 and a derivative without the c3/r term.
    const TpvTable radial = *TpvTable::from_pv(1, {{3, 1.0}});
    double value, dxi, deta;
    radial.eval_with_gradient(0.0, 0.0, value, dxi, deta);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(dxi, 1.0);
    EXPECT_EQ(deta, 0.0);
}

TEST(Tpv, GradientMatchesDifferencesAndInverseUndoesTheTables) {
    const Tpv tpv{
        *TpvTable::from_pv(
            1, {{0, 1e-4}, {1, 1.01}, {2, 0.02}, {3, 0.01}, {5, 0.3}, {11, -0.2}, {20, 0.5}}),
        *TpvTable::from_pv(2, {{1, 0.99}, {4, -0.1}, {9, 0.4}, {23, 0.3}, {38, 1.0}})};
    const double xi = 0.05, eta = -0.07, h = 1e-6;
    for (const TpvTable* t : {&tpv.t1, &tpv.t2}) {
        double value, dxi, deta;
        t->eval_with_gradient(xi, eta, value, dxi, deta);
        EXPECT_DOUBLE_EQ(value, t->eval(xi, eta));
        EXPECT_NEAR(dxi, (t->eval(xi + h, eta) - t->eval(xi - h, eta)) / (2 * h), 1e-8);
        EXPECT_NEAR(deta, (t->eval(xi, eta + h) - t->eval(xi, eta - h)) / (2 * h), 1e-8);
    }
    double a = tpv.t1.eval(xi, eta), b = tpv.t2.eval(xi, eta);
    ASSERT_EQ(tpv.inverse(a, b), NewtonStatus::Ok);
    EXPECT_NEAR(a, xi, 1e-12);
    EXPECT_NEAR(b, eta, 1e-12);
}

TEST(Tpv, HeaderWithoutPvCardsIsThePlainGnomonicPlane) {
    const Header tpv =
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TPV'"), kv("CTYPE2", "'DEC--TPV'"),
                   kv("CRPIX1", "10"), kv("CRPIX2", "10"), kv("CRVAL1", "30"), kv("CRVAL2", "40"),
                   kv("CDELT1", "-0.01"), kv("CDELT2", "0.01"), kv("PV1_5", "'abc'")});
    const Header tan =
        header_of({kv("NAXIS", "2"), kv("CTYPE1", "'RA---TAN'"), kv("CTYPE2", "'DEC--TAN'"),
                   kv("CRPIX1", "10"), kv("CRPIX2", "10"), kv("CRVAL1", "30"), kv("CRVAL2", "40"),
                   kv("CDELT1", "-0.01"), kv("CDELT2", "0.01")});
    const Wcs a = wcs_of(tpv);
    const Wcs b = wcs_of(tan);
    ASSERT_TRUE(a.celestial && a.celestial->tpv);
    const std::vector<double> px = {3.0, 57.0};
    EXPECT_EQ(*a.pixel_to_world(px), *b.pixel_to_world(px));
}

}  // namespace
}  // namespace vexlo
