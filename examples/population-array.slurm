#!/bin/bash
# A population as a Slurm job array: array task K runs shard K of N and
# writes OUT/part-K-of-N.csv (atomically: a pre-empted task leaves nothing
# that merge accepts, and resubmitting that one task is the whole recovery).
#
# Submit it with scripts/orvo-submit-slurm, which creates the log folder,
# passes absolute paths and the shard count, and queues the merge after the
# array. By hand (from the folder that holds logs/):
#   sbatch --array=0-31 --output=logs/%x-%A_%a.out \
#          --export=ALL,ORVO=$PWD/build/bin/orvo,SCENARIO=$PWD/models/pregnancy/scenarios/population.scenario,OUT=$PWD/population \
#          examples/population-array.slurm
#   orvo merge population/part-*-of-32.csv --out population
# Recover shard 2 of 32: sbatch --array=2 --export=ALL,...,ORVO_SHARDS=32 ...
#
# Environment: ORVO (the orvo program), SCENARIO (population file), OUT
# (output folder), ORVO_SHARDS (the shard count N; default: the array's task
# count, which is right only for a whole 0-based array). The script's
# arguments are further batch options (default: --at 720,2400). Outside
# Slurm it runs shard ORVO_SHARD (default 0) of ORVO_SHARDS (default 1).
#
# Exit status: 0 when the shard's part was written, even if some of its runs
# failed (they are recorded in the part, and merge reports them), so that a
# merge queued after the array runs; non-zero when no part was written.
#
#SBATCH --job-name=orvo-population
#SBATCH --cpus-per-task=1
#SBATCH --time=00:30:00

set -uo pipefail
fail() { echo "population-array: $*" >&2; exit 2; }

submit_dir=${SLURM_SUBMIT_DIR:-$PWD}
absolute() { case $1 in /*) echo "$1" ;; *) echo "$submit_dir/$1" ;; esac; }
ORVO=$(absolute "${ORVO:-build/bin/orvo}")
SCENARIO=$(absolute "${SCENARIO:-models/pregnancy/scenarios/population.scenario}")
OUT=$(absolute "${OUT:-population}")
[ -x "$ORVO" ] || fail "orvo not found at $ORVO (set ORVO to its absolute path)"
[ -f "$SCENARIO" ] || fail "population file not found at $SCENARIO (set SCENARIO)"

if [ -n "${SLURM_ARRAY_TASK_ID:-}" ]; then
    shard=$SLURM_ARRAY_TASK_ID
    if [ -n "${ORVO_SHARDS:-}" ]; then
        shards=$ORVO_SHARDS
    else
        # The array's own count is the shard count only for a whole 0-based array.
        [ "${SLURM_ARRAY_TASK_MIN:-0}" = 0 ] && [ "$((SLURM_ARRAY_TASK_MAX + 1))" = "$SLURM_ARRAY_TASK_COUNT" ] ||
            fail "array ${SLURM_ARRAY_TASK_MIN}-${SLURM_ARRAY_TASK_MAX} (${SLURM_ARRAY_TASK_COUNT} tasks) is not a whole 0-based array: set ORVO_SHARDS to the shard count"
        shards=$SLURM_ARRAY_TASK_COUNT
    fi
else
    shard=${ORVO_SHARD:-0}
    shards=${ORVO_SHARDS:-1}
fi
[ "$shard" -lt "$shards" ] 2>/dev/null || fail "shard $shard is not below the shard count $shards"

[ $# -gt 0 ] || set -- --at 720,2400
start=$(date +%s)
# Every task gets the same population and options; only --shard differs.
"$ORVO" batch --scenario "$SCENARIO" "$@" \
    --jobs "${SLURM_CPUS_PER_TASK:-1}" --shard "$shard/$shards" --out "$OUT"
status=$?
part="$OUT/part-$shard-of-$shards.csv"
case $status in
    0) outcome="all runs ok" ;;
    3) outcome="some runs failed (recorded in the part)" ;;
    4) outcome="some runs lost with their worker processes (the machine, not the model): resubmit this shard" ;;
    *) outcome="failed with exit $status" ;;
esac
echo "orvo shard $shard/$shards: $outcome in $(( $(date +%s) - start )) s, part $part"
if [ "$status" = 3 ] && [ -f "$part" ]; then exit 0; fi
exit "$status"
