#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numerics/OdepackFortran.h"
#include "numerics/OdepackIntegrator.h"

namespace {

extern "C" void Decay(const int32_t* neq, const double*, double* y, double* ydot, double*, int32_t*) {
    for (int32_t i = 0; i < *neq; ++i) ydot[i] = -y[i];
}

extern "C" void NoJacobian(const int32_t*, const double*, const double*, const int32_t*, const int32_t*,
                           const int32_t*, double*, double*, int32_t*) {}

// The Fortran build links and runs: DLSODES on y' = -y from 0 to 1.
TEST(OdepackSmoke, DlsodesIntegratesDecay) {
    int32_t neq = 1;
    double y = 1.0, t = 0.0, tout = 1.0;
    int32_t itol = 1, itask = 1, istate = 1, iopt = 0, mf = 222;
    double rtol = 1e-10, atol = 1e-12;
    int32_t lrw = 3 + 32 + 30, liw = 31;
    std::vector<double> rwork(lrw);
    std::vector<int32_t> iwork(liw), iwk(2 * lrw);
    int32_t ipar = 0;
    double rpar = 0.0;
    dlsodes_(&Decay, &neq, &y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork.data(), &lrw,
             iwork.data(), &liw, iwk.data(), &NoJacobian, &mf, &rpar, &ipar);
    EXPECT_EQ(istate, 2);
    EXPECT_EQ(t, 1.0);
    EXPECT_NEAR(y, std::exp(-1.0), 1e-6);

    // Illegal input outside any integrator: the diagnostics have nowhere to go
    // and are dropped.
    neq = 0;
    istate = 1;
    tout = 2.0;
    dlsodes_(&Decay, &neq, &y, &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt, rwork.data(), &lrw,
             iwork.data(), &liw, iwk.data(), &NoJacobian, &mf, &rpar, &ipar);
    EXPECT_EQ(istate, -3);
    EXPECT_EQ(OdepackIntegrator::ActiveInstance(), nullptr);
}

}  // namespace
