#pragma once

// orvo calibrate FILE --out DIR: Bayesian calibration of model parameters
// against data by adaptive Metropolis sampling.
int CalibrateCommand(int argc, char** argv);
