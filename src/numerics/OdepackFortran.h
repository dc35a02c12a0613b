#pragma once

#include <cstddef>
#include <cstdint>

// Fortran interface of the ODEPACK build (gfortran): every argument by
// reference, INTEGER is 32-bit, and each CHARACTER argument adds a hidden
// length (size_t) after the visible arguments.
extern "C" {

// Right-hand side F(NEQ, T, Y, YDOT, RPAR, IPAR); RPAR and IPAR are passed
// through DLSODES untouched.
using OdepackRhs = void (*)(const int32_t* neq, const double* t, double* y, double* ydot,
                            double* rpar, int32_t* ipar);
// Sparse Jacobian column JAC(NEQ, T, Y, J, IAN, JAN, PDJ, RPAR, IPAR); only
// called for MOSS = 1 or MITER = 1.
using OdepackJac = void (*)(const int32_t* neq, const double* t, const double* y, const int32_t* j,
                            const int32_t* ian, const int32_t* jan, double* pdj, double* rpar,
                            int32_t* ipar);

// DLSODES of this package: IWK (2 x LRW integers) follows LIW, and RPAR/IPAR
// follow MF.
void dlsodes_(OdepackRhs f, int32_t* neq, double* y, double* t, double* tout, int32_t* itol,
              double* rtol, double* atol, int32_t* itask, int32_t* istate, int32_t* iopt,
              double* rwork, int32_t* lrw, int32_t* iwork, int32_t* liw, int32_t* iwk, OdepackJac jac,
              int32_t* mf, double* rpar, int32_t* ipar);

// The package's LINPACK factor and solve (column-major, one-based pivots).
void dgefa_(double* a, const int32_t* lda, const int32_t* n, int32_t* ipvt, int32_t* info);
void dgesl_(const double* a, const int32_t* lda, const int32_t* n, const int32_t* ipvt, double* b,
            const int32_t* job);

// Diagnostic and printing routines ODEPACK calls and this library supplies
// (src/numerics/OdepackIntegrator.cpp): the text goes to the message buffer of
// the integrator whose DLSODES call is running.
void xerrwd_(const char* msg, const int32_t* nmes, const int32_t* nerr, const int32_t* level,
             const int32_t* ni, const int32_t* i1, const int32_t* i2, const int32_t* nr,
             const double* r1, const double* r2, std::size_t msgLength);
void rprintf_(const char* msg, std::size_t msgLength);
void rprintfd2_(const char* msg, const double* d1, const double* d2, std::size_t msgLength);

// The solver's internal common blocks (DLS001: 218 doubles then 37 integers;
// DLSS01: 6 doubles then 34 integers). Saved and restored around each call so
// several problems can take turns with DLSODES.
struct OdepackCommonDls001 {
    double reals[218];
    int32_t integers[37];
};
struct OdepackCommonDlss01 {
    double reals[6];
    int32_t integers[34];
};
extern OdepackCommonDls001 dls001_;
extern OdepackCommonDlss01 dlss01_;
}
