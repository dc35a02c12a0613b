#pragma once

// One iteration of Brent's method on a bracket held in three points.
class RootFinding {
public:
    // b is the current estimate, c the contrapoint, a the previous estimate;
    // minStep stands in for the step before last, tolerance ends the search.
    // Returns false when [b, c] no longer brackets a sign change. Otherwise
    // true: converged tells whether b is the located root or the next trial.
    static bool Brent(double& a, double& fa, double& b, double& fb, double& c, double& fc,
                      double minStep, double tolerance, bool& converged);
};
