#pragma once

#include "Options.h"

// `orvo batch`: runs a population (distributions of a population file, or
// the rows of --params) and writes runs.csv and summary.csv, or with
// --shard K/N the part file part-K-of-N.csv.
int BatchCommand(const Options& options);

// `orvo merge`: joins the part files of all shards and writes the tables of
// the unsharded run (runs.csv and summary.csv, or runs.csv and sobol.csv).
int MergeCommand(const Options& options);
