#!/bin/sh
# Runs every model library of a build with its defaults, recording every
# scalar real variable at every output point, one CSV per library and
# method into OUTDIR; two such folders compare with `diff -r`.
# usage: model_outputs.sh BUILD_DIR OUTDIR
build=$1
out=$2
example=$(cd "$(dirname "$0")/.." && pwd)/models/pregnancy/scenarios/example.scenario
mkdir -p "$out" || exit 1
for lib in "$build"/lib/liborvo_*.so; do
    name=$(basename "$lib" .so)
    vars=$("$build/bin/orvo" list --lib "$lib" |
        awk 'NR > 1 && $4 == "double" && $5 == "scalar" &&
             ($3 == "independent" || $3 == "state" || $3 == "derivative" ||
              $3 == "initial" || $3 == "variable") { printf "%s%s", sep, $2; sep = "," }')
        # The pregnancy model's defaults dose nothing: it runs the example scenario.
    scenario=
    [ "$name" = liborvo_pregnancy ] && scenario="--scenario $example"
    for alg in default 1 2 3 4 5 8 9 12 13 14 15; do
        if [ "$alg" = default ]; then set -- ; else set -- --set ialg="$alg"; fi
        "$build/bin/orvo" run --lib "$lib" $scenario --vars "$vars" "$@" --out "$out/$name-$alg.csv" \
            >/dev/null 2>"$out/$name-$alg.err"
        echo "exit $?" >>"$out/$name-$alg.err"
    done
done
# Constants written by the host during a run (dose records).
doses=$(mktemp) || exit 1
trap 'rm -f "$doses"' EXIT
printf 'time,target,value\n500,bw_m,65\n1300.5,pdoseug_i,120\n' >"$doses"
"$build/bin/orvo" run --lib "$build/lib/liborvo_pregnancy.so" \
    --scenario "$example" --doses "$doses" \
    --out "$out/pregnancy-doses.csv" >/dev/null 2>"$out/pregnancy-doses.err"
printf 'time,target,amount,value,ii,addl\n1.25,agut,100,,3,4\n2.5,ka,,0.9,,\n7,vd,,12,,\n' >"$doses"
"$build/bin/orvo" run --lib "$build/lib/liborvo_oral_absorption.so" --doses "$doses" \
    --out "$out/oral-doses.csv" >/dev/null 2>"$out/oral-doses.err"
