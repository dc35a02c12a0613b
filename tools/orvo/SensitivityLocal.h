#pragma once

// `orvo sensitivity local`: normalised local coefficients by central differences.
int LocalSensitivityCommand(int argc, char** argv);
