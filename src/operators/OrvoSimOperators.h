#pragma once

// The operator library that generated model code calls: plain functions with
// C linkage and the modelling language's lower-case names. This header holds
// the memoryless operators, the random sources and table evaluation; the
// run-control operators and the operators with memory have headers of their
// own, included here so that a model needs only this one.
//
// Reals are doubles, integers 32-bit signed, logicals one byte (non-zero is
// true), instance numbers unsigned 32-bit.

#include <cstdint>

#include "operators/MemoryOperators.h"
#include "operators/RunControlOperators.h"

extern "C" {

// ---- rounding and conversion -------------------------------------------------
double aint(double x);
double anint(double x);
int32_t nint(double x);
int32_t zzint(double x);
double dble(float x);
double real(double x);

// ---- arithmetic, sign and limiting -------------------------------------------
double mod(double a, double b);
double dim(double a, double b);
double sgn(double x);
double sign(double a, double b);
double ssqrt(double x);
double zzmax(double a, double b);
double zzmin(double a, double b);
double bound(double lower, double upper, double x);
double dead(double lower, double upper, double x);
double qntzr(double q, double x);

// ---- switches -----------------------------------------------------------------
double fcnsw(double p, double a, double b, double c);
double rsw(uint8_t flag, double a, double b);
int32_t lsw(uint8_t flag, int32_t a, int32_t b);

// ---- time sources ---------------------------------------------------------------
double step(double t, double tz);
double ramp(double t, double tz);
double harm(double t, double tz, double w, double p);
double pulse(double t, double tz, double period, double width);

// ---- array fill and copy --------------------------------------------------------
void seti(int32_t value, int32_t* array, int32_t n);
void setr(double value, double* array, int32_t n);
void xferbi(int32_t* destination, const int32_t* source, int32_t n);
void xferbr(double* destination, const double* source, int32_t n);
char* zzstrcpy(char* destination, const char* source);

// ---- messages -------------------------------------------------------------------
void disstr(uint32_t instance, const char* text);
void wem(uint32_t instance, const char* text);

// ---- accepted and ignored -------------------------------------------------------
void logd(...);
void usedbv(...);
void debug(...);
void initd(...);
void listd(...);
void agetr(...);
void ageti(...);
void agetl(...);
void agetd(...);
void agetc(...);
void aputr(...);
void aputi(...);
void aputl(...);
void aputd(...);
void aputc(...);

// ---- random sources (one process-wide generator) --------------------------------
int32_t zzunifi(int32_t seed);
int32_t zzgausi(int32_t seed);
double zzurv(double lo, double hi);
double zzgrv(double mean, double sd);
// Ornstein-Uhlenbeck noise: writes mean + *noiseState; the state is advanced
// only at accepted step starts.
void zzou(uint32_t instance, double tau, double mean, double sd, double* noiseState,
          double* output, double* lastTime);

// ---- function tables --------------------------------------------------------------
// Linear interpolation (and extrapolation) in a table of 1, 2 or 3 arguments:
// the function values (x fastest) followed by the breakpoints of each argument.
double zztable(const double* table, int32_t ndims, int32_t nx, int32_t ny, int32_t nz, double x,
               double y, double z);

}  // extern "C"

// Square root with a linear band: x / sqrt(e) while |x| < e, the signed square
// root outside. C++ linkage: the C library already declares a C function of
// this name (single-precision square root), and C allows only one.
double fsqrt(double x, double e);
