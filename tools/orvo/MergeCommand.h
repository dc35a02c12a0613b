#pragma once

// `orvo merge`: joins the part files of all shards and writes the tables of
// the unsharded run (runs.csv and summary.csv, or runs.csv and sobol.csv).
int MergeCommand(int argc, char** argv);
