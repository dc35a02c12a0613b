#include "Options.h"

namespace {

const char* const kRunUsage =
    "usage: orvo list [--lib PATH]\n"
    "       orvo run  [--lib PATH] [--scenario FILE]... [--set NAME=VALUE]...\n"
    "                 [--out FILE.csv] [--vars a,b,c] [--doses FILE.csv] [--summary]\n"
    "\n"
    "  list             print the model's symbol table\n"
    "  run              run the model once and write one CSV row per output point\n"
    "  --lib PATH       model library (default: ../lib/liborvo_pregnancy.so beside orvo)\n"
    "  --scenario FILE  NAME=VALUE lines ('#' starts a comment), applied before --set\n"
    "  --set NAME=VALUE set a model constant or run setting; arrays take\n"
    "                   one comma-separated value per element\n"
    "  --out FILE.csv   write the CSV there instead of standard output\n"
    "  --vars a,b,c     variables to record (default: time, key amounts and\n"
    "                   concentrations, mass balances)\n"
    "  --doses FILE.csv dose records, one per line under a header of the columns\n"
    "                   time, target, amount | value [, rate | duration] [, ii, addl]:\n"
    "                   a bolus amount added to a state, a constant set to a value,\n"
    "                   or an infusion of amount into a constant (its input rate)\n"
    "                   at rate or over duration; ii and addl repeat the record\n"
    "                   addl more times every ii. Numbers or names of constants.\n"
    "  --summary        print a short summary of the run to standard output\n"
    "                   (to standard error when the CSV goes to standard output)\n"
    "\n"
    "Exit status: 0 success, 1 the run failed or output could not be written,\n"
    "2 bad command line, unknown variable or bad value.\n";

const char* const kPopulationFile =
    "Population file (--scenario): scenario lines NAME = VALUE, plus\n"
    "  NAME ~ normal(mean, sd) [low, high]     truncation bounds optional on any\n"
    "  NAME ~ lognormal(gm, gsd)               geometric mean and geometric sd (> 1)\n"
    "  NAME ~ uniform(a, b)    NAME ~ loguniform(a, b)    NAME ~ triangular(low, mode, high)\n"
    "  NAME ~ beta(a, b)       NAME ~ gamma(shape, rate)  NAME ~ weibull(shape, scale)\n"
    "  NAME ~ studentt(df, location, scale)   NAME ~ halfnormal(sd)   NAME ~ halfcauchy(scale)\n"
    "  NAME ~ exponential(rate)\n"
    "  NAME(2) ~ ...            one element of an array\n"
    "  runs = N                 number of runs (default 100; Sobol: base rows, default 1000)\n"
    "  seed = S                 default 1; run k's values depend only on (seed, k)\n"
    "  sampling = random | lhs  lhs: Latin hypercube over all runs (default random)\n"
    "--set takes the same NAME=VALUE lines, runs, seed and sampling included.\n"
    "cint, tstop and zzticg are shared by all runs: the output times are\n"
    "zzticg, zzticg + cint, ... up to tstop.\n";

const char* const kBatchUsage =
    "usage: orvo batch --scenario FILE [--lib PATH] [--set NAME=VALUE]... [--vars a,b,c]\n"
    "                  [--at t1,t2,...] [--params sets.csv] [--jobs N] [--shard K/N]\n"
    "                  [--out DIR] [--plot FILE.svg] [--progress] [--run-timeout S]\n"
    "       orvo merge PART... [--out DIR] [--plot FILE.svg] [--vars a,b]\n"
    "\n"
    "  batch            run a population of the model, one worker process per job\n"
    "  merge            join the part files of all shards into the tables of one run\n"
    "  --vars a,b,c     variables to record (default: key amounts and concentrations)\n"
    "  --at t1,t2       output times to tabulate per run (each must be an output time)\n"
    "  --params FILE    one run per row of a CSV file: a header of variable names\n"
    "                   (NAME or NAME(INDEX)) and one number per column; replaces\n"
    "                   the file's distributions\n"
    "  --jobs N         worker processes (default: the number of cores)\n"
    "  --shard K/N      run only shard K (0..N-1) of N and write DIR/part-K-of-N.csv\n"
    "  --out DIR        output directory (default: the current directory)\n"
    "  --plot FILE.svg  median and 90 % band over time of the --vars variables\n"
    "  --progress       progress line on standard error (default: when it is a terminal)\n"
    "  --run-timeout S  a run still going after S seconds is stopped (its worker is\n"
    "                   killed and replaced) and recorded with status timeout\n"
    "\n"
    "%POPULATION%"
    "\n"
    "DIR/runs.csv, one row per run in run order:\n"
    "  run,<input>...,status,message,<VAR>@<T>...,<VAR>_max,<VAR>_tmax,<VAR>_auc,<VAR>_final...\n"
    "  inputs are the sampled (or --params) elements as NAME or NAME(INDEX); status is\n"
    "  ok, error (the run ended in the error state), nonfinite (a recorded value was\n"
    "  not finite), stopped (ended before tstop), timeout (past --run-timeout) or\n"
    "  lost (its worker died twice); message is the first message of a failed run.\n"
    "  Per recorded element: the value at each --at time, the maximum over the\n"
    "  output points and its first time, the trapezoidal area under the curve over\n"
    "  the output points, and the final value (empty for a failed run).\n"
    "DIR/summary.csv, one row per recorded element and output time:\n"
    "  variable,time,n,mean,sd,p2.5,p5,p25,p50,p75,p95,p97.5\n"
    "  over the n runs with status ok (failed runs are excluded and counted on\n"
    "  standard error); sd with n - 1; percentiles interpolate linearly between\n"
    "  order statistics.\n"
    "DIR/part-K-of-N.csv: lines '# key=value' (kind, hash of the population's\n"
    "  inputs, seed, shard=K/N, runs=FIRST-END/TOTAL, ...), the header\n"
    "  run,<input>...,status,message,<VAR>@<T> for every output time, one row per run,\n"
    "  and the line '# end'. merge checks that the parts are all N shards of one\n"
    "  population (same hash and seed, none missing or repeated) and writes exactly\n"
    "  the tables of the unsharded run. Every file is written to a temporary name\n"
    "  and renamed when complete.\n"
    "Numbers are written in their shortest exact form: the tables are the same bytes\n"
    "for any --jobs and for merged shards.\n"
    "\n"
    "Exit status: 0 all runs ok, 1 internal or library error or a file could not\n"
    "be written, 2 bad input (the message names the file and line; nothing runs),\n"
    "3 some runs failed (the others are in the tables), 4 some runs were lost:\n"
    "their worker process died, and died again when the run was tried once more\n"
    "(status lost: the machine, not the model).\n";

const char* const kSensitivityUsage =
    "usage: orvo sensitivity local --scenario FILE --params p1,p2 --vars y1,y2 [--at t1,t2]\n"
    "                              [--step 0.01] [--set NAME=VALUE]... [--jobs N] [--out DIR]\n"
    "       orvo sensitivity sobol --scenario POPFILE --vars y1,y2 [--at t1,t2] [--runs N]\n"
    "                              [--bootstrap B] [--jobs N] [--shard K/N] [--out DIR]\n"
    "\n"
    "  local   normalised sensitivity coefficients d ln y / d ln p by central\n"
    "          differences: y at p (1 + step) and p (1 - step), the others at the\n"
    "          scenario's values; 2 runs per parameter and one at the scenario.\n"
    "          DIR/local.csv: parameter,variable,time,coefficient\n"
    "          coefficient = (y+ - y-) / (2 step y); empty when y = 0 or a run failed.\n"
    "  sobol   first-order (S1) and total (ST) Sobol indices over the population\n"
    "          file's distributions: Saltelli's design with N base rows (--runs, default\n"
    "          the file's runs, else 1000; at least 10) and N (d + 2) runs for d\n"
    "          distributions;\n"
    "          Jansen's estimators; intervals are the 2.5 and 97.5 percentiles of B\n"
    "          bootstrap replicates over base rows (default 100). A base row with a\n"
    "          failed run is left out, and indices with fewer than 10 usable base\n"
    "          rows are left empty; `sampling` does not apply. --shard, merge and\n"
    "          --run-timeout work as for batch.\n"
    "          DIR/sobol.csv: parameter,variable,time,S1,S1_low,S1_high,ST,ST_low,ST_high\n"
    "          DIR/runs.csv as for batch.\n"
    "  --at    output times (default: the last output time)\n"
    "\n"
    "%POPULATION%"
    "\n"
    "Exit status: 0 all runs ok, 1 internal or library error, 2 bad input (the\n"
    "message names the file and line; nothing runs), 3 some runs failed, 4 some\n"
    "runs were lost with their worker processes.\n";

std::string WithPopulation(std::string text) {
    const std::string marker = "%POPULATION%";
    return text.replace(text.find(marker), marker.size(), kPopulationFile);
}

}  // namespace

std::string UsageText(const std::string& command) {
    if (command == "batch" || command == "merge") return WithPopulation(kBatchUsage);
    if (command == "sensitivity") return WithPopulation(kSensitivityUsage);
    if (command == "list" || command == "run") return kRunUsage;
    return std::string(kRunUsage) +
           "\n       orvo batch | merge | sensitivity local | sensitivity sobol ...\n"
           "       (orvo batch --help, orvo sensitivity --help)\n"
           "       orvo build FILE.model [--out DIR]   build a model library (orvo build --help)\n";
}
