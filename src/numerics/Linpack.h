#pragma once

#include <cstdint>

// Dense LU factorisation, solution, condition estimate, determinant and
// inverse for small square matrices, with the level-1 vector kernels they are
// built from. The arithmetic follows the classic LINPACK/BLAS routines step for
// step (DGEFA, DGESL, DGECO, DGEDI; DSCAL, DASUM, IDAMAX, DAXPY, DCOPY, DDOT,
// DSWAP), but matrices are arrays of row pointers (a[i][j] is row i, column j;
// rows may lie anywhere) and every index is zero-based.
//
// The leading-dimension arguments are kept for the familiar calling sequence
// and ignored. No routine validates its arguments beyond n <= 0; a zero pivot
// is reported through info (or an rcond of 0), and solving or inverting with a
// singular factor is the caller's responsibility.
class Linpack {
public:
    Linpack() = delete;

    // LU factorisation in place with partial pivoting. pivots[k] is the row
    // exchanged with row k at step k (the last entry is n - 1). info is 0, or
    // the one-based column of the last zero pivot found.
    static void GaussFactor(double** a, int32_t lda, int32_t n, int32_t* pivots, int32_t& info);
    // Solves A x = b (job 0) or trans(A) x = b (any other job) with the factors
    // of GaussFactor; b is overwritten with x.
    static void GaussSolve(double** a, int32_t lda, int32_t n, const int32_t* pivots, double* b,
                           int32_t job);
    // Factors a (as GaussFactor) and estimates its reciprocal condition number
    // in the 1-norm. z (n doubles) receives the approximate null vector.
    static void GaussCond(double** a, int32_t lda, int32_t n, int32_t* pivots, double& rcond,
                          double* z);
    // From the factors: job 10 or 11 computes the determinant det[0] * 10^det[1]
    // (1 <= |det[0]| < 10 or det[0] = 0); job 1 or 11 overwrites a with the
    // inverse, using work (n doubles).
    static void GaussInvert(double** a, int32_t lda, int32_t n, const int32_t* pivots, double* det,
                            double* work, int32_t job);

    // x <- factor * x.
    static void ScaleVector(int32_t n, double factor, double* x, int32_t incx);
    // Sum of absolute values; 0 for n <= 0.
    static double SumAbsVals(int32_t n, const double* x, int32_t incx);
    // Zero-based position of the first element of largest absolute value;
    // -1 for n <= 0.
    static int32_t MaxElemAbsVal(int32_t n, const double* x, int32_t incx);
    // y <- y + factor * x; nothing when n <= 0 or factor is 0.
    static void AddVectors(int32_t n, double factor, const double* x, int32_t incx, double* y,
                           int32_t incy);
    // y <- x.
    static void CopyVector(int32_t n, const double* x, int32_t incx, double* y, int32_t incy);
    // Dot product; 0 for n <= 0.
    static double DotProduct(int32_t n, const double* x, int32_t incx, const double* y,
                             int32_t incy);
    // Exchanges x and y.
    static void SwapVectors(int32_t n, double* x, int32_t incx, double* y, int32_t incy);
};
