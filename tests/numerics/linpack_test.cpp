#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <vector>

#include "numerics/Linpack.h"
#include "numerics/Matrix.h"
#include "numerics/OdepackFortran.h"

namespace {

// A row-pointer matrix filled from rows of values.
struct Square {
    explicit Square(std::initializer_list<std::initializer_list<double>> rows)
        : n(static_cast<int32_t>(rows.size())), m(rows.size(), rows.size()), pivots(rows.size(), -7) {
        std::size_t i = 0;
        for (const auto& row : rows) {
            std::size_t j = 0;
            for (double value : row) m[i][j++] = value;
            ++i;
        }
    }
    double** a() { return m.Vectors(); }
    int32_t Factor() {
        int32_t info = -1;
        Linpack::GaussFactor(a(), n, n, pivots.data(), info);
        return info;
    }
    int32_t n;
    Matrix m;
    std::vector<int32_t> pivots;
};

TEST(LinpackFactor, InfoReportsZeroPivots) {
    Square firstColumnZero{{0, 1, 2}, {0, 3, 4}, {0, 5, 7}};
    EXPECT_EQ(firstColumnZero.Factor(), 1);

    Square lastPivotZero{{1, 2}, {2, 4}};
    EXPECT_EQ(lastPivotZero.Factor(), 2);
    EXPECT_EQ(lastPivotZero.pivots[1], 1);

    Square regular{{4, 3, 2}, {2, 1, 3}, {3, 2, 1}};
    EXPECT_EQ(regular.Factor(), 0);
    EXPECT_EQ(regular.pivots[2], 2);

    // A later zero pivot overwrites an earlier one.
    Square both{{0, 0, 1}, {0, 0, 2}, {0, 0, 3}};
    EXPECT_EQ(both.Factor(), 2);
}

TEST(LinpackFactor, PermutationPivotsAndDeterminant) {
    Square p{{0, 1}, {1, 0}};
    ASSERT_EQ(p.Factor(), 0);
    EXPECT_EQ(p.pivots[0], 1);
    EXPECT_EQ(p.pivots[1], 1);
    double det[2] = {0, 0};
    std::vector<double> work(2);
    Linpack::GaussInvert(p.a(), 2, 2, p.pivots.data(), det, work.data(), 10);
    EXPECT_EQ(det[0], -1.0);
    EXPECT_EQ(det[1], 0.0);
}

TEST(LinpackFactor, SingleElementAndEmpty) {
    Square one{{5}};
    EXPECT_EQ(one.Factor(), 0);
    EXPECT_EQ(one.pivots[0], 0);
    Square zero{{0}};
    EXPECT_EQ(zero.Factor(), 1);

    int32_t info = -1;
    Linpack::GaussFactor(nullptr, 0, 0, nullptr, info);
    EXPECT_EQ(info, 0);
}

TEST(LinpackFactor, TiesPickTheFirstRow) {
    Square tie{{1, 2}, {-1, 5}};
    ASSERT_EQ(tie.Factor(), 0);
    EXPECT_EQ(tie.pivots[0], 0);
    // Multiplier stored negated below the diagonal.
    EXPECT_EQ(tie.m[1][0], 1.0);
    EXPECT_EQ(tie.m[1][1], 7.0);
}

TEST(LinpackSolve, BothJobsAgreeWithKnownSolutions) {
    // A x = b with x = (1, -2, 3).
    const double x[3] = {1, -2, 3};
    const double rows[3][3] = {{2, -1, 0}, {-1, 3, 1}, {4, 0, -2}};
    double b[3], bt[3];
    for (int i = 0; i < 3; ++i) {
        b[i] = bt[i] = 0;
        for (int j = 0; j < 3; ++j) {
            b[i] += rows[i][j] * x[j];
            bt[i] += rows[j][i] * x[j];
        }
    }
    Square a{{2, -1, 0}, {-1, 3, 1}, {4, 0, -2}};
    ASSERT_EQ(a.Factor(), 0);
    Linpack::GaussSolve(a.a(), 3, 3, a.pivots.data(), b, 0);
    Linpack::GaussSolve(a.a(), 3, 3, a.pivots.data(), bt, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(b[i], x[i], 1e-13);
        EXPECT_NEAR(bt[i], x[i], 1e-13);
    }

    // job 1 on A equals job 0 on trans(A).
    Square t{{2, -1, 4}, {-1, 3, 0}, {0, 1, -2}};
    ASSERT_EQ(t.Factor(), 0);
    double c[3] = {bt[0], bt[1], bt[2]};
    for (int i = 0; i < 3; ++i) {
        c[i] = 0;
        for (int j = 0; j < 3; ++j) c[i] += rows[j][i] * x[j];
    }
    Linpack::GaussSolve(t.a(), 3, 3, t.pivots.data(), c, 0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], x[i], 1e-13);
}

// Row pointers against the column-major Fortran originals: same pivots, same
// factors and solutions (to rounding).
TEST(LinpackSolve, MatchesTheFortranRoutines) {
    constexpr int32_t n = 6;
    Matrix rows(n, n);
    std::vector<double> columnMajor(n * n);
    uint32_t seed = 12345;
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            seed = seed * 1103515245u + 12345u;
            const double value = static_cast<double>((seed >> 8) % 2001) / 100.0 - 10.0;
            rows[i][j] = value;
            columnMajor[i + j * n] = value;
        }
    std::vector<int32_t> pivots(n), fortranPivots(n);
    int32_t info = -1, fortranInfo = -1;
    Linpack::GaussFactor(rows.Vectors(), n, n, pivots.data(), info);
    dgefa_(columnMajor.data(), &n, &n, fortranPivots.data(), &fortranInfo);
    EXPECT_EQ(info, fortranInfo);
    for (int32_t k = 0; k < n; ++k) EXPECT_EQ(pivots[k] + 1, fortranPivots[k]) << k;
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) EXPECT_NEAR(rows[i][j], columnMajor[i + j * n], 1e-13);
    for (int32_t job : {0, 1}) {
        double b[n], fb[n];
        for (int32_t i = 0; i < n; ++i) b[i] = fb[i] = i - 2.5;
        Linpack::GaussSolve(rows.Vectors(), n, n, pivots.data(), b, job);
        dgesl_(columnMajor.data(), &n, &n, fortranPivots.data(), fb, &job);
        for (int32_t i = 0; i < n; ++i) EXPECT_NEAR(b[i], fb[i], 1e-12 * (1 + std::fabs(fb[i]))) << job;
    }
}

TEST(LinpackInvert, DeterminantIsNormalised) {
    Square d{{20, 0}, {0, 0.5}};
    ASSERT_EQ(d.Factor(), 0);
    double det[2];
    std::vector<double> work(2);
    Linpack::GaussInvert(d.a(), 2, 2, d.pivots.data(), det, work.data(), 10);
    EXPECT_DOUBLE_EQ(det[0], 1.0);
    EXPECT_DOUBLE_EQ(det[1], 1.0);

    Square small{{1e-3, 0}, {0, 2e-4}};
    ASSERT_EQ(small.Factor(), 0);
    Linpack::GaussInvert(small.a(), 2, 2, small.pivots.data(), det, work.data(), 10);
    EXPECT_NEAR(det[0], 2.0, 1e-12);
    EXPECT_EQ(det[1], -7.0);

    Square singular{{1, 2}, {2, 4}};
    singular.Factor();
    Linpack::GaussInvert(singular.a(), 2, 2, singular.pivots.data(), det, work.data(), 10);
    EXPECT_EQ(det[0], 0.0);
}

TEST(LinpackInvert, NonFiniteDeterminantTerminates) {
    Square huge{{1e300, 0}, {0, 1e300}};
    ASSERT_EQ(huge.Factor(), 0);
    double det[2];
    std::vector<double> work(2);
    // 1e300 * 1e300 overflows only if the product were not renormalised.
    Linpack::GaussInvert(huge.a(), 2, 2, huge.pivots.data(), det, work.data(), 10);
    EXPECT_NEAR(det[0], 1.0, 1e-12);
    EXPECT_EQ(det[1], 600.0);

    Square nan{{NAN, 0}, {0, 1}};
    nan.Factor();
    Linpack::GaussInvert(nan.a(), 2, 2, nan.pivots.data(), det, work.data(), 10);
    EXPECT_TRUE(std::isnan(det[0]));
}

// Determinant of a 4 x 4 matrix by expansion along the first row.
double Cofactor(const double (&m)[4][4]) {
    auto det3 = [&](int skip) {
        int c[3], k = 0;
        for (int j = 0; j < 4; ++j)
            if (j != skip) c[k++] = j;
        return m[1][c[0]] * (m[2][c[1]] * m[3][c[2]] - m[2][c[2]] * m[3][c[1]]) -
               m[1][c[1]] * (m[2][c[0]] * m[3][c[2]] - m[2][c[2]] * m[3][c[0]]) +
               m[1][c[2]] * (m[2][c[0]] * m[3][c[1]] - m[2][c[1]] * m[3][c[0]]);
    };
    double sum = 0;
    for (int j = 0; j < 4; ++j) sum += (j % 2 ? -1.0 : 1.0) * m[0][j] * det3(j);
    return sum;
}

TEST(LinpackInvert, InverseTimesMatrixIsIdentity) {
    const double rows[4][4] = {{4, -2, 1, 0}, {3, 6, -4, 2}, {2, 1, 8, -1}, {0, 5, 1, 3}};
    Square a{{4, -2, 1, 0}, {3, 6, -4, 2}, {2, 1, 8, -1}, {0, 5, 1, 3}};
    ASSERT_EQ(a.Factor(), 0);
    double det[2];
    std::vector<double> work(4);
    Linpack::GaussInvert(a.a(), 4, 4, a.pivots.data(), det, work.data(), 11);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0;
            for (int k = 0; k < 4; ++k) sum += a.m[i][k] * rows[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-13) << i << "," << j;
        }
    }
    EXPECT_NEAR(det[0] * std::pow(10.0, det[1]), Cofactor(rows), 1e-9);
}

TEST(LinpackCond, EstimatesTrackConditioning) {
    std::vector<double> z(3);
    double rcond = -1;

    Square identity{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Linpack::GaussCond(identity.a(), 3, 3, identity.pivots.data(), rcond, z.data());
    EXPECT_DOUBLE_EQ(rcond, 1.0);

    // Exact 1-norm condition of diag(1, 1e-8, 1) is 1e8.
    Square scaled{{1, 0, 0}, {0, 1e-8, 0}, {0, 0, 1}};
    Linpack::GaussCond(scaled.a(), 3, 3, scaled.pivots.data(), rcond, z.data());
    EXPECT_NEAR(rcond, 1e-8, 1e-12);

    // ||A||_1 = 9 and ||inv(A)||_1 = 17/3: true rcond 1/51. The estimate of
    // ||inv(A)|| is a lower bound, so rcond is at least the true value.
    Square general{{4, 3, 2}, {2, 1, 3}, {3, 2, 1}};
    Linpack::GaussCond(general.a(), 3, 3, general.pivots.data(), rcond, z.data());
    EXPECT_GE(rcond, 1.0 / 51.0 - 1e-15);
    EXPECT_LE(rcond, 10.0 / 51.0);
    // The matrix is left factored.
    EXPECT_EQ(general.pivots[0], 0);
    EXPECT_EQ(general.m[0][0], 4.0);

    Square singular{{1, 2, 3}, {2, 4, 6}, {1, 0, 1}};
    Linpack::GaussCond(singular.a(), 3, 3, singular.pivots.data(), rcond, z.data());
    EXPECT_LT(rcond, 1e-15);

    Square zero{{0, 0}, {0, 0}};
    Linpack::GaussCond(zero.a(), 2, 2, zero.pivots.data(), rcond, z.data());
    EXPECT_EQ(rcond, 0.0);
}

TEST(LinpackVectors, MaxElemAbsVal) {
    const double v[] = {1, -3, 3};
    EXPECT_EQ(Linpack::MaxElemAbsVal(3, v, 1), 1);
    EXPECT_EQ(Linpack::MaxElemAbsVal(1, v, 1), 0);
    EXPECT_EQ(Linpack::MaxElemAbsVal(0, v, 1), -1);
    EXPECT_EQ(Linpack::MaxElemAbsVal(-2, v, 1), -1);
    const double strided[] = {1, 100, -2, 100, 5, 100};
    EXPECT_EQ(Linpack::MaxElemAbsVal(3, strided, 2), 2);
}

TEST(LinpackVectors, UnrolledAndStridedPathsAgree) {
    // Lengths around every unrolling width, contiguous against stride 2.
    for (int32_t n = 0; n <= 15; ++n) {
        std::vector<double> x(n), y(n), xs(2 * n + 1, 99), ys(2 * n + 1, 99);
        for (int32_t i = 0; i < n; ++i) {
            x[i] = xs[2 * i] = (i % 3 == 0 ? -1.0 : 1.0) * (i + 1);
            y[i] = ys[2 * i] = 0.5 * i - 2;
        }
        double sum = 0, dot = 0;
        for (int32_t i = 0; i < n; ++i) {
            sum += std::fabs(x[i]);
            dot += x[i] * y[i];
        }
        EXPECT_EQ(Linpack::SumAbsVals(n, x.data(), 1), sum) << n;
        EXPECT_EQ(Linpack::SumAbsVals(n, xs.data(), 2), sum) << n;
        EXPECT_EQ(Linpack::DotProduct(n, x.data(), 1, y.data(), 1), dot) << n;
        EXPECT_EQ(Linpack::DotProduct(n, xs.data(), 2, ys.data(), 2), dot) << n;

        Linpack::AddVectors(n, 2.0, x.data(), 1, y.data(), 1);
        Linpack::AddVectors(n, 2.0, xs.data(), 2, ys.data(), 2);
        Linpack::ScaleVector(n, -3.0, y.data(), 1);
        Linpack::ScaleVector(n, -3.0, ys.data(), 2);
        Linpack::SwapVectors(n, x.data(), 1, y.data(), 1);
        Linpack::SwapVectors(n, xs.data(), 2, ys.data(), 2);
        for (int32_t i = 0; i < n; ++i) {
            const double expected = -3.0 * ((0.5 * i - 2) + 2.0 * (i % 3 == 0 ? -1.0 : 1.0) * (i + 1));
            EXPECT_EQ(x[i], expected);
            EXPECT_EQ(xs[2 * i], expected);
            EXPECT_EQ(ys[2 * i], y[i]);
        }
        // Odd slots between strided elements are never touched.
        for (int32_t i = 0; i < n; ++i) {
            EXPECT_EQ(xs[2 * i + 1], 99.0);
            EXPECT_EQ(ys[2 * i + 1], 99.0);
        }
        std::vector<double> copy(n, 0.0);
        Linpack::CopyVector(n, x.data(), 1, copy.data(), 1);
        EXPECT_EQ(copy, x);
    }
}

TEST(LinpackVectors, DegenerateArguments) {
    double y[2] = {1, 2};
    const double x[2] = {5, 6};
    Linpack::AddVectors(2, 0.0, x, 1, y, 1);
    EXPECT_EQ(y[0], 1.0);
    // Zero factor skips the update even for non-finite x.
    const double inf[2] = {INFINITY, NAN};
    Linpack::AddVectors(2, 0.0, inf, 1, y, 1);
    EXPECT_EQ(y[1], 2.0);
    EXPECT_EQ(Linpack::SumAbsVals(0, x, 1), 0.0);
    EXPECT_EQ(Linpack::DotProduct(-1, x, 1, y, 1), 0.0);
    // Negative increments walk from the far end, as the BLAS does.
    double rev[3] = {0, 0, 0};
    const double src[3] = {1, 2, 3};
    Linpack::CopyVector(3, src, 1, rev, -1);
    EXPECT_EQ(rev[0], 3.0);
    EXPECT_EQ(rev[2], 1.0);
}

}  // namespace
