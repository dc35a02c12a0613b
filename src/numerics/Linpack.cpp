#include "numerics/Linpack.h"

#include <cmath>
#include <utility>

namespace {

// Column kernels on row-pointer matrices: the factors keep L and U by columns,
// which here are strided through the row pointers. Each sums or updates in the
// order of the corresponding vector routine.

// a[i][dst] += factor * a[i][src] for count rows from first; nothing for a zero factor.
void ColumnUpdate(double** a, int32_t first, int32_t count, double factor, int32_t src, int32_t dst) {
    if (count <= 0 || factor == 0.0) return;
    for (int32_t i = first; i < first + count; ++i) a[i][dst] += factor * a[i][src];
}

// y[i] += factor * a[i][col] for count rows from first.
void ColumnIntoVector(double** a, int32_t first, int32_t count, double factor, int32_t col, double* y) {
    if (count <= 0 || factor == 0.0) return;
    for (int32_t i = first; i < first + count; ++i) y[i] += factor * a[i][col];
}

double ColumnDot(double** a, int32_t first, int32_t count, int32_t col, const double* y) {
    double sum = 0.0;
    for (int32_t i = first; i < first + count; ++i) sum += a[i][col] * y[i];
    return sum;
}

void ColumnScale(double** a, int32_t first, int32_t count, double factor, int32_t col) {
    for (int32_t i = first; i < first + count; ++i) a[i][col] *= factor;
}

// Start offset of a strided vector, negative increments walking backwards.
inline int32_t StartOffset(int32_t n, int32_t inc) { return inc < 0 ? (1 - n) * inc : 0; }

}  // namespace

void Linpack::GaussFactor(double** a, int32_t /*lda*/, int32_t n, int32_t* pivots, int32_t& info) {
    info = 0;
    if (n <= 0) return;
    for (int32_t k = 0; k < n - 1; ++k) {
        // Pivot: first row of largest magnitude at or below the diagonal.
        int32_t l = k;
        double largest = std::fabs(a[k][k]);
        for (int32_t i = k + 1; i < n; ++i) {
            if (std::fabs(a[i][k]) > largest) {
                largest = std::fabs(a[i][k]);
                l = i;
            }
        }
        pivots[k] = l;
        if (a[l][k] == 0.0) {
            // Column already triangular.
            info = k + 1;
            continue;
        }
        if (l != k) std::swap(a[l][k], a[k][k]);
        ColumnScale(a, k + 1, n - k - 1, -1.0 / a[k][k], k);
        for (int32_t j = k + 1; j < n; ++j) {
            const double t = a[l][j];
            if (l != k) {
                a[l][j] = a[k][j];
                a[k][j] = t;
            }
            ColumnUpdate(a, k + 1, n - k - 1, t, k, j);
        }
    }
    pivots[n - 1] = n - 1;
    if (a[n - 1][n - 1] == 0.0) info = n;
}

void Linpack::GaussSolve(double** a, int32_t /*lda*/, int32_t n, const int32_t* pivots, double* b,
                         int32_t job) {
    if (n <= 0) return;
    if (job == 0) {
        // L y = b, then U x = y.
        for (int32_t k = 0; k < n - 1; ++k) {
            const int32_t l = pivots[k];
            const double t = b[l];
            if (l != k) {
                b[l] = b[k];
                b[k] = t;
            }
            ColumnIntoVector(a, k + 1, n - k - 1, t, k, b);
        }
        for (int32_t k = n - 1; k >= 0; --k) {
            b[k] /= a[k][k];
            ColumnIntoVector(a, 0, k, -b[k], k, b);
        }
        return;
    }
    // trans(U) y = b, then trans(L) x = y.
    for (int32_t k = 0; k < n; ++k) {
        const double t = ColumnDot(a, 0, k, k, b);
        b[k] = (b[k] - t) / a[k][k];
    }
    for (int32_t k = n - 2; k >= 0; --k) {
        b[k] += ColumnDot(a, k + 1, n - k - 1, k, b);
        const int32_t l = pivots[k];
        if (l != k) std::swap(b[l], b[k]);
    }
}

void Linpack::GaussCond(double** a, int32_t lda, int32_t n, int32_t* pivots, double& rcond, double* z) {
    rcond = 0.0;
    if (n <= 0) return;
    // 1-norm: the largest column sum.
    double anorm = 0.0;
    for (int32_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int32_t i = 0; i < n; ++i) sum += std::fabs(a[i][j]);
        anorm = std::fmax(anorm, sum);
    }
    int32_t info = 0;
    GaussFactor(a, lda, n, pivots, info);

    // trans(U) w = e, the signs of e chosen to make w grow.
    double ek = 1.0;
    for (int32_t j = 0; j < n; ++j) z[j] = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        if (z[k] != 0.0) ek = std::copysign(ek, -z[k]);
        if (std::fabs(ek - z[k]) > std::fabs(a[k][k])) {
            const double s = std::fabs(a[k][k]) / std::fabs(ek - z[k]);
            ScaleVector(n, s, z, 1);
            ek *= s;
        }
        double wk = ek - z[k];
        double wkm = -ek - z[k];
        double s = std::fabs(wk);
        double sm = std::fabs(wkm);
        if (a[k][k] != 0.0) {
            wk /= a[k][k];
            wkm /= a[k][k];
        } else {
            wk = 1.0;
            wkm = 1.0;
        }
        if (k + 1 < n) {
            for (int32_t j = k + 1; j < n; ++j) {
                sm += std::fabs(z[j] + wkm * a[k][j]);
                z[j] += wk * a[k][j];
                s += std::fabs(z[j]);
            }
            if (s < sm) {
                const double t = wkm - wk;
                wk = wkm;
                for (int32_t j = k + 1; j < n; ++j) z[j] += t * a[k][j];
            }
        }
        z[k] = wk;
    }
    ScaleVector(n, 1.0 / SumAbsVals(n, z, 1), z, 1);

    // trans(L) y = w.
    for (int32_t k = n - 1; k >= 0; --k) {
        if (k < n - 1) z[k] += ColumnDot(a, k + 1, n - k - 1, k, z);
        if (std::fabs(z[k]) > 1.0) ScaleVector(n, 1.0 / std::fabs(z[k]), z, 1);
        const int32_t l = pivots[k];
        std::swap(z[l], z[k]);
    }
    ScaleVector(n, 1.0 / SumAbsVals(n, z, 1), z, 1);
    double ynorm = 1.0;

    // L v = y.
    for (int32_t k = 0; k < n; ++k) {
        const int32_t l = pivots[k];
        const double t = z[l];
        z[l] = z[k];
        z[k] = t;
        if (k < n - 1) ColumnIntoVector(a, k + 1, n - k - 1, t, k, z);
        if (std::fabs(z[k]) > 1.0) {
            const double s = 1.0 / std::fabs(z[k]);
            ScaleVector(n, s, z, 1);
            ynorm *= s;
        }
    }
    double s = 1.0 / SumAbsVals(n, z, 1);
    ScaleVector(n, s, z, 1);
    ynorm *= s;

    // U z = v.
    for (int32_t k = n - 1; k >= 0; --k) {
        if (std::fabs(z[k]) > std::fabs(a[k][k])) {
            s = std::fabs(a[k][k]) / std::fabs(z[k]);
            ScaleVector(n, s, z, 1);
            ynorm *= s;
        }
        z[k] = a[k][k] != 0.0 ? z[k] / a[k][k] : 1.0;
        ColumnIntoVector(a, 0, k, -z[k], k, z);
    }
    s = 1.0 / SumAbsVals(n, z, 1);
    ScaleVector(n, s, z, 1);
    ynorm *= s;
    rcond = anorm != 0.0 ? ynorm / anorm : 0.0;
}

void Linpack::GaussInvert(double** a, int32_t /*lda*/, int32_t n, const int32_t* pivots, double* det,
                          double* work, int32_t job) {
    if (job / 10 != 0) {
        constexpr double ten = 10.0;
        det[0] = 1.0;
        det[1] = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            if (pivots[i] != i) det[0] = -det[0];
            det[0] *= a[i][i];
            if (det[0] == 0.0) break;
            // A non-finite product cannot be brought into [1, 10): leave it.
            if (!std::isfinite(det[0])) break;
            while (std::fabs(det[0]) < 1.0) {
                det[0] *= ten;
                det[1] -= 1.0;
            }
            while (std::fabs(det[0]) >= ten) {
                det[0] /= ten;
                det[1] += 1.0;
            }
        }
    }
    if (job % 10 == 0 || n <= 0) return;

    // inverse(U).
    for (int32_t k = 0; k < n; ++k) {
        a[k][k] = 1.0 / a[k][k];
        ColumnScale(a, 0, k, -a[k][k], k);
        for (int32_t j = k + 1; j < n; ++j) {
            const double t = a[k][j];
            a[k][j] = 0.0;
            ColumnUpdate(a, 0, k + 1, t, k, j);
        }
    }
    // inverse(U) * inverse(L), undoing the exchanges.
    for (int32_t k = n - 2; k >= 0; --k) {
        for (int32_t i = k + 1; i < n; ++i) {
            work[i] = a[i][k];
            a[i][k] = 0.0;
        }
        for (int32_t j = k + 1; j < n; ++j) ColumnUpdate(a, 0, n, work[j], j, k);
        const int32_t l = pivots[k];
        if (l != k)
            for (int32_t i = 0; i < n; ++i) std::swap(a[i][k], a[i][l]);
    }
}

void Linpack::ScaleVector(int32_t n, double factor, double* x, int32_t incx) {
    if (n <= 0 || incx <= 0) return;
    if (incx != 1) {
        for (int32_t i = 0; i < n * incx; i += incx) x[i] *= factor;
        return;
    }
    const int32_t m = n % 5;
    for (int32_t i = 0; i < m; ++i) x[i] *= factor;
    for (int32_t i = m; i < n; i += 5) {
        x[i] *= factor;
        x[i + 1] *= factor;
        x[i + 2] *= factor;
        x[i + 3] *= factor;
        x[i + 4] *= factor;
    }
}

double Linpack::SumAbsVals(int32_t n, const double* x, int32_t incx) {
    double sum = 0.0;
    if (n <= 0 || incx <= 0) return sum;
    if (incx != 1) {
        for (int32_t i = 0; i < n * incx; i += incx) sum += std::fabs(x[i]);
        return sum;
    }
    const int32_t m = n % 6;
    for (int32_t i = 0; i < m; ++i) sum += std::fabs(x[i]);
    for (int32_t i = m; i < n; i += 6)
        sum = sum + std::fabs(x[i]) + std::fabs(x[i + 1]) + std::fabs(x[i + 2]) + std::fabs(x[i + 3]) +
              std::fabs(x[i + 4]) + std::fabs(x[i + 5]);
    return sum;
}

int32_t Linpack::MaxElemAbsVal(int32_t n, const double* x, int32_t incx) {
    if (n <= 0 || incx <= 0) return -1;
    int32_t best = 0;
    double largest = std::fabs(x[0]);
    for (int32_t k = 1; k < n; ++k) {
        const double value = std::fabs(x[k * incx]);
        if (value > largest) {
            best = k;
            largest = value;
        }
    }
    return best;
}

void Linpack::AddVectors(int32_t n, double factor, const double* x, int32_t incx, double* y,
                         int32_t incy) {
    if (n <= 0 || factor == 0.0) return;
    if (incx == 1 && incy == 1) {
        const int32_t m = n % 4;
        for (int32_t i = 0; i < m; ++i) y[i] += factor * x[i];
        for (int32_t i = m; i < n; i += 4) {
            y[i] += factor * x[i];
            y[i + 1] += factor * x[i + 1];
            y[i + 2] += factor * x[i + 2];
            y[i + 3] += factor * x[i + 3];
        }
        return;
    }
    int32_t ix = StartOffset(n, incx);
    int32_t iy = StartOffset(n, incy);
    for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) y[iy] += factor * x[ix];
}

void Linpack::CopyVector(int32_t n, const double* x, int32_t incx, double* y, int32_t incy) {
    if (n <= 0) return;
    if (incx == 1 && incy == 1) {
        const int32_t m = n % 7;
        for (int32_t i = 0; i < m; ++i) y[i] = x[i];
        for (int32_t i = m; i < n; i += 7) {
            y[i] = x[i];
            y[i + 1] = x[i + 1];
            y[i + 2] = x[i + 2];
            y[i + 3] = x[i + 3];
            y[i + 4] = x[i + 4];
            y[i + 5] = x[i + 5];
            y[i + 6] = x[i + 6];
        }
        return;
    }
    int32_t ix = StartOffset(n, incx);
    int32_t iy = StartOffset(n, incy);
    for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) y[iy] = x[ix];
}

double Linpack::DotProduct(int32_t n, const double* x, int32_t incx, const double* y, int32_t incy) {
    double sum = 0.0;
    if (n <= 0) return sum;
    if (incx == 1 && incy == 1) {
        const int32_t m = n % 5;
        for (int32_t i = 0; i < m; ++i) sum += x[i] * y[i];
        for (int32_t i = m; i < n; i += 5)
            sum = sum + x[i] * y[i] + x[i + 1] * y[i + 1] + x[i + 2] * y[i + 2] + x[i + 3] * y[i + 3] +
                  x[i + 4] * y[i + 4];
        return sum;
    }
    int32_t ix = StartOffset(n, incx);
    int32_t iy = StartOffset(n, incy);
    for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) sum += x[ix] * y[iy];
    return sum;
}

void Linpack::SwapVectors(int32_t n, double* x, int32_t incx, double* y, int32_t incy) {
    if (n <= 0) return;
    if (incx == 1 && incy == 1) {
        const int32_t m = n % 3;
        for (int32_t i = 0; i < m; ++i) std::swap(x[i], y[i]);
        for (int32_t i = m; i < n; i += 3) {
            std::swap(x[i], y[i]);
            std::swap(x[i + 1], y[i + 1]);
            std::swap(x[i + 2], y[i + 2]);
        }
        return;
    }
    int32_t ix = StartOffset(n, incx);
    int32_t iy = StartOffset(n, incy);
    for (int32_t i = 0; i < n; ++i, ix += incx, iy += incy) std::swap(x[ix], y[iy]);
}
