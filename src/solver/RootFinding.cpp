#include "solver/RootFinding.h"

#include <algorithm>
#include <cmath>
#include <utility>

bool RootFinding::Brent(double& a, double& fa, double& b, double& fb, double& c, double& fc,
                        double minStep, double tolerance, bool& converged) {
    // A point exactly on the root ends the search at once.
    if (fb == 0.0) {
        a = b;
        fa = fb;
        converged = true;
        return true;
    }
    if (fa == 0.0) {
        b = a;
        fb = fa;
        converged = true;
        return true;
    }
    if (fc == 0.0) {
        b = c;
        fb = fc;
        converged = true;
        return true;
    }

    if (fb * fc > 0.0) {
        c = a;
        fc = fa;
        if (fb * fc > 0.0) {
            converged = false;
            return false;
        }
    }

    converged = tolerance > std::fabs(c - b);
    if (converged) {
        // The later end, where the function has already changed sign.
        b = std::max(b, c);
        return true;
    }

    if (std::fabs(fb) > std::fabs(fc)) {
        a = b;
        fa = fb;
        std::swap(b, c);
        std::swap(fb, fc);
    }

    const double D = c - b;
    double d = 0.5 * D;
    if (std::fabs(fa) > std::fabs(fb)) {
        const double s = fb / fa;
        double p;
        double q;
        if (c != a) {
            const double q1 = fa / fc;
            const double r = fb / fc;
            p = s * (D * q1 * (q1 - r) - (b - a) * (r - 1.0));
            q = (q1 - 1.0) * (r - 1.0) * (s - 1.0);
        } else {
            p = D * s;
            q = 1.0 - s;
        }
        if (p >= 0.0) q = -q;
        p = std::fabs(p);
        if (!(p >= 0.75 * D * q || p >= std::fabs(0.5 * minStep * q))) d = p / q;
    }

    a = b;
    fa = fb;
    if (std::fabs(d) <= 0.5 * tolerance) d = (c - b > 0.0) ? 0.5 * std::fabs(tolerance) : -0.5 * std::fabs(tolerance);
    b += d;
    return true;
}
