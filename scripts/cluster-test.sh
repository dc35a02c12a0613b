#!/bin/bash
# The Slurm path against a real Slurm: installs Slurm and munge from Debian
# when missing, starts munged, slurmctld and slurmd on loopback only (in a
# network namespace of their own where the machine allows one), submits a
# population through scripts/orvo-submit-slurm, resubmits one shard alone,
# merges, and compares the tables with an unsharded run byte for byte. Every
# daemon it started is stopped on the way out. Run as root:
#   scripts/cluster-test.sh [ORVO]        (default build/bin/orvo)
# Exit status: 0 passed, 1 failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
orvo=$(cd "$(dirname "${1:-$root/build/bin/orvo}")" && pwd)/$(basename "${1:-$root/build/bin/orvo}")
say() { echo "cluster-test: $*" >&2; }
fail() { say "FAIL: $*"; exit 1; }

[ "$(id -u)" = 0 ] || fail "run as root (it starts Slurm's daemons)"
[ -x "$orvo" ] || fail "no orvo at $orvo (make release first)"

# Loopback only: a network namespace with nothing but lo, where allowed. The
# extra address on lo is there because the daemons' address lookup
# (getaddrinfo with AI_ADDRCONFIG) finds no IPv4 at all without one.
if [ -z "${ORVO_CLUSTER_NETNS:-}" ] && unshare --net true 2>/dev/null; then
    exec env ORVO_CLUSTER_NETNS=1 unshare --net --fork bash -c \
        'ip link set lo up && ip addr add 10.254.254.1/32 dev lo && exec "$0" "$@"' "$0" "$orvo"
fi

if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
    say "installing slurm-wlm and munge from Debian"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends slurm-wlm munge >/dev/null
fi

work=$(mktemp -d /tmp/orvo-cluster.XXXXXX)
cleanup() {
    for pidfile in "$work"/run/slurmd.pid "$work"/run/slurmctld.pid "$work"/munge/munged.pid; do
        [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
    done
    sleep 1
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{state,spool,log,run,munge,pop}
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munged --force --socket="$work/munge/munge.socket" --key-file="$work/munge/munge.key" \
       --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" \
       --seed-file="$work/munge/seed" 2>/dev/null || fail "munged did not start"

cpus=$(nproc)
cat >"$work/slurm.conf" <<CONF
ClusterName=orvotest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.socket
CryptoType=crypto/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/run/slurmctld.pid
SlurmdPidFile=$work/run/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=2000 State=UNKNOWN
PartitionName=debug Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
slurmctld -f "$SLURM_CONF" || fail "slurmctld did not start: $(tail -5 "$work/log/slurmctld.log" 2>/dev/null)"
slurmd -f "$SLURM_CONF" || fail "slurmd did not start: $(tail -5 "$work/log/slurmd.log" 2>/dev/null)"
for _ in $(seq 60); do
    sinfo -h -o %t 2>/dev/null | grep -q idle && break
    sleep 1
done
sinfo -h -o %t | grep -q idle || fail "the node did not come up: $(tail -5 "$work/log/slurmd.log")"

# A small population: 24 runs of 10 days, eight shards.
cat >"$work/pop.scenario" <<'POP'
cint = 24
tstop = 240
runs = 24
seed = 7
sampling = lhs
pdoseug_i ~ lognormal(200, 1.4) [50, 1000]
bw_m ~ normal(72.3, 10) [45, 130]
POP
wait_for_jobs() {
    for _ in $(seq 600); do
        [ -z "$(squeue -h -o %i 2>/dev/null)" ] && return 0
        sleep 1
    done
    fail "jobs still queued after 600 s: $(squeue)"
}
submit=$("$root/scripts/orvo-submit-slurm" --orvo "$orvo" --scenario "$work/pop.scenario" --shards 8 \
         --out "$work/pop" --batch-options "--at 24,240") || fail "submit"
say "$submit"
wait_for_jobs
[ -f "$work/pop/runs.csv" ] || fail "the merge job wrote no tables: $(cat "$work"/pop/logs/* 2>/dev/null | tail -20)"
grep -q "orvo shard 3/8: all runs ok" "$work"/pop/logs/orvo-population-*_3.out || fail "no summary line in the shard's log"

# Recovery: one shard lost, resubmitted alone with the printed command.
rm "$work/pop/part-5-of-8.csv" "$work/pop/runs.csv" "$work/pop/summary.csv"
resubmit=$(echo "$submit" | sed -n 's/^resubmit shard K alone: //p' | sed 's/--array=K/--array=5/')
bash -c "$resubmit" >/dev/null || fail "resubmit: $resubmit"
wait_for_jobs
[ -f "$work/pop/part-5-of-8.csv" ] || fail "the resubmitted shard wrote no part: $(tail -5 "$work"/pop/logs/*_5.out)"
"$orvo" merge "$work"/pop/part-*-of-8.csv --out "$work/pop" 2>/dev/null || fail "merge after recovery"

# The same population unsharded: byte-identical tables.
"$orvo" batch --scenario "$work/pop.scenario" --at 24,240 --out "$work/whole" 2>/dev/null || fail "unsharded batch"
for table in runs.csv summary.csv; do
    cmp -s "$work/pop/$table" "$work/whole/$table" || fail "$table differs between the Slurm array and the unsharded run"
done
say "passed: 8 shards on Slurm, one resubmitted, merged tables identical to the unsharded run"
