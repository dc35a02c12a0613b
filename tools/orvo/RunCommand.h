#pragma once

// `orvo run`: applies the scenario files and --set values, runs the model once
// (blocking) and records the chosen variables at every output point.
int RunCommand(int argc, char** argv);
