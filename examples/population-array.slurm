#!/bin/bash
# A population as a Slurm job array: each array task runs one shard and
# writes DIR/part-K-of-N.csv (atomically: a pre-empted task leaves nothing
# that merge accepts, and resubmitting that task is the whole recovery).
# Merge when all tasks are done:
#   sbatch --array=0-31 examples/population-array.slurm
#   orvo merge population/part-*-of-32.csv --out population --plot population/band.svg
#
#SBATCH --job-name=orvo-population
#SBATCH --array=0-31
#SBATCH --cpus-per-task=4
#SBATCH --time=00:30:00
#SBATCH --output=logs/%x-%A_%a.out

set -euo pipefail
SHARDS=${SLURM_ARRAY_TASK_COUNT:-32}
ORVO=${ORVO:-build/bin/orvo}
SCENARIO=${SCENARIO:-scenarios/population.scenario}
OUT=${OUT:-population}

# Every task gets the same scenario and options; only --shard differs.
"$ORVO" batch --scenario "$SCENARIO" --at 720,2400 \
    --jobs "${SLURM_CPUS_PER_TASK:-1}" \
    --shard "${SLURM_ARRAY_TASK_ID}/${SHARDS}" --out "$OUT"
