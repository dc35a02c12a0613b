#pragma once

// Shared implementations of the time-source operators; stateless. Every
// source is 0 before its start time tz.
class Sources {
public:
    Sources() = delete;

    // sin((t - tz) * w + p) from tz on.
    static double Harmonic(double t, double tz, double w, double p);
    // 1 while the phase within each period is below width, from tz on.
    static double Pulse(double t, double tz, double period, double width);
    // t - tz from tz on.
    static double Ramp(double t, double tz);
};
