#!/bin/sh
# Population throughput of `orvo batch` (runs per second) with one and two
# worker processes, on the same population in the same session; part of
# `make bench`. usage: bench_population.sh ORVO SCENARIO [RUNS]
orvo=$1
scenario=$2
runs=${3:-200}
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
for jobs in 1 2; do
    "$orvo" batch --scenario "$scenario" --set runs="$runs" --jobs "$jobs" --out "$out/j$jobs" --progress \
        2>"$out/err$jobs" >/dev/null
    status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
        cat "$out/err$jobs" >&2
        exit 1
    fi
    grep 'runs/s (' "$out/err$jobs" | tail -1 | sed 's/^orvo: /population: /'
done
awk -v a="$(grep -o '[0-9.]* runs/s (' "$out/err1" | tail -1 | cut -d' ' -f1)" \
    -v b="$(grep -o '[0-9.]* runs/s (' "$out/err2" | tail -1 | cut -d' ' -f1)" \
    'BEGIN { if (a > 0) printf "population: 2 workers / 1 worker = %.2f\n", b / a }'
