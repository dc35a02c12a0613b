#!/bin/sh
# Calibration throughput of `orvo calibrate` (chain iterations per second)
# with one and two worker processes; part of `make bench`.
#   oral:      oral_absorption, ka, ke and vd from 9 concentrations
#   pregnancy: the example scenario (2,400 h), 5 parameters from 100 maternal
#              perchlorate plasma concentrations
# Data: the model at its defaults with 5 % lognormal noise (a fixed generator).
# usage: calibrate.sh ORVO LIBDIR [ITERATIONS]
orvo=$1
libdir=$2
iterations=${3:-4000}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT

# noisy FILE COLUMN WHERE: time,variable,value rows of COLUMN (2nd csv column) where awk's WHERE holds.
noisy() {
    awk -F, -v name="$2" 'BEGIN { x = 4711; print "time,variable,value" }
        function u() { x = (x * 16807) % 2147483647; return x / 2147483647 }
        NR > 1 && '"$3"' { z = sqrt(-2 * log(u())) * cos(6.283185307179586 * u()); print $1 "," name "," $2 * exp(0.05 * z) }' "$1"
}

"$orvo" run --lib "$libdir/liborvo_oral_absorption.so" --set nstp=10 --vars t,conc >"$out/oral-run.csv" 2>/dev/null || exit 1
noisy "$out/oral-run.csv" conc '($1 == 1.5 || $1 == 2 || $1 == 3 || $1 == 4 || $1 == 6 || $1 == 8 || $1 == 12 || $1 == 16 || $1 == 24)' >"$out/oral.csv"
cat >"$out/oral.cal" <<CAL
ka ~ lognormal(1, 3) [0.05, 20]
ke ~ lognormal(0.3, 3) [0.01, 5]
vd ~ lognormal(20, 3) [1, 500]
nstp = 10
error conc lognormal 0.05
[experiment single]
data = oral.csv
CAL

parameters="clf_upm kmnis_p vmaxnisf_thy_mp vmaxc_bp km_bp"
"$orvo" run --scenario "$root/models/pregnancy/scenarios/example.scenario" --lib "$libdir/liborvo_pregnancy.so" \
    --vars "t,ca_mp,$(echo $parameters | tr ' ' ,)" >"$out/preg-run.csv" 2>/dev/null || exit 1
noisy "$out/preg-run.csv" ca_mp '$1 > 0' >"$out/pregnancy.csv"
{
    column=3
    for p in $parameters; do
        value=$(awk -F, -v c=$column 'NR == 2 { print $c }' "$out/preg-run.csv")
        echo "$p ~ lognormal($value, 2)"
        column=$((column + 1))
    done
    sed -n 's/#.*//; /=/p' "$root/models/pregnancy/scenarios/example.scenario"
    printf 'error ca_mp lognormal 0.05\n[experiment example]\ndata = pregnancy.csv\n'
} >"$out/pregnancy.cal"

for model in oral pregnancy; do
    lib=$libdir/liborvo_oral_absorption.so
    [ $model = pregnancy ] && lib=$libdir/liborvo_pregnancy.so
    for jobs in 1 2; do
        start=$(date +%s.%N)
        "$orvo" calibrate "$out/$model.cal" --out "$out/$model-$jobs" --iterations "$iterations" --chains 2 \
            --jobs "$jobs" --lib "$lib" 2>"$out/err" || { cat "$out/err" >&2; exit 1; }
        end=$(date +%s.%N)
        awk -v m=$model -v j=$jobs -v n=$((2 * iterations)) -v s="$start" -v e="$end" \
            'BEGIN { w = j > 1 ? "workers" : "worker"; t = e - s
                     printf "calibrate %s: %d iterations (2 chains), %d %s: %.2f s, %.0f iterations/s\n", m, n, j, w, t, n / t }'
    done
done
