#!/bin/sh
# Command-line checks of the orvo host against the real model library.
# usage: orvo_cli_test.sh ORVO CASE SOURCE_DIR   (run in a scratch directory)
orvo=$1
case_name=$2
source_dir=$3
# Without a case name the scratch folder would be the current directory itself.
[ -n "$orvo" ] && [ -n "$case_name" ] && [ -n "$source_dir" ] || { echo "usage: $0 ORVO CASE SOURCE_DIR" >&2; exit 2; }
work=$(pwd)/$case_name
rm -rf "$work" && mkdir -p "$work" || exit 1

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

# expect_refused NAME_IN_MESSAGE ARGS...: exit status 2 and the message names it.
expect_refused() {
    what=$1
    shift
    "$orvo" "$@" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 2 ] || fail "'$*' exited with $status, expected 2"
    grep -q -- "$what" "$work/err" || fail "'$*' did not mention '$what': $(cat "$work/err")"
}

# expect_ended_by SIGNAL NUMBER PID: sends the signal; the process must end by it.
expect_ended_by() {
    kill -s "$1" "$3"
    wait "$3"
    status=$?
    [ "$status" -eq $((128 + $2)) ] || fail "SIG$1: exit status $status, expected $((128 + $2)): $(cat "$work/err")"
}

# data_rows FILE: CSV rows after the header.
data_rows() { tail -n +2 "$1" | wc -l | tr -d ' '; }

case $case_name in
list)
    "$orvo" list >"$work/list" || fail "list exited with $?"
    rows=$(grep -c '^ *[0-9][0-9]* ' "$work/list")
    [ "$rows" -eq 537 ] || fail "list printed $rows rows, expected 537"
    grep -q '^ *1  *t  *independent  *double  *scalar  *h  *time$' "$work/list" || fail "row 1 is not t with its units"
    grep -q '^ *489  *clf_uim_t  *variable  *double  *16  *yes  *urinary iodide clearance' "$work/list" || fail "table array row"
    grep -q '^537  *zzticg  *start-value  *double  *scalar  *yes$' "$work/list" || fail "row 537 is not zzticg"
    # --units labels the columns of the default record with the model's units.
    "$orvo" run --lib "$(dirname "$orvo")/../lib/liborvo_oral_absorption.so" --units --set tstop=2 >"$work/units.csv" || fail "run --units"
    head -1 "$work/units.csv" | grep -q '^t (h),agut (mg),acentral (mg),.*conc (mg/L)' \
        || fail "run --units header: $(head -1 "$work/units.csv")"
    "$orvo" list --lib "$work/missing.so" 2>"$work/err" && fail "a missing library was accepted"
    grep -q 'missing.so' "$work/err" || fail "no message naming the missing library"
    # Metadata beside the library that is a pipe or is broken: a warning, and the table without units.
    cp "$(dirname "$orvo")/../lib/liborvo_oral_absorption.so" "$work/liborvo_oral_absorption.so" || fail "copy"
    mkfifo "$work/liborvo_oral_absorption.json" || fail "mkfifo"
    timeout 60 "$orvo" list --lib "$work/liborvo_oral_absorption.so" >"$work/list" 2>"$work/err" \
        || fail "list with a pipe for metadata exited with $?"
    grep -q "liborvo_oral_absorption.json' cannot be read: it is not a file" "$work/err" || fail "pipe metadata: $(cat "$work/err")"
    rm -f "$work/liborvo_oral_absorption.json"
    printf '{"variables": [' >"$work/liborvo_oral_absorption.json"
    "$orvo" list --lib "$work/liborvo_oral_absorption.so" >"$work/list" 2>"$work/err" || fail "list with broken metadata exited with $?"
    grep -q "warning: the model's metadata .* cannot be read" "$work/err" && grep -q '^ *1  *t  ' "$work/list" \
        || fail "broken metadata: $(cat "$work/err")"
    # A description with a line break or an escape stays on its variable's row.
    printf '{"variables": [{"name": "ka", "units": "1/h\\u001b[31m", "description": "first\\nsecond"}]}' \
        >"$work/liborvo_oral_absorption.json"
    "$orvo" list --lib "$work/liborvo_oral_absorption.so" >"$work/list" 2>"$work/err" || fail "list with odd metadata"
    [ "$(grep -c '^ *[0-9][0-9]* ' "$work/list")" -eq "$(($(wc -l <"$work/list") - 1))" ] || fail "a row broke: $(cat "$work/list")"
    grep -q ' ka .*1/h \[31m  *first second$' "$work/list" || fail "odd metadata row: $(grep ' ka ' "$work/list" | cat -v)"
    ;;
unknown-variable)
    expect_refused "unknown variable 'nosuchvar'" run --set nosuchvar=1
    expect_refused "unknown variable 'nosuchvar'" run --vars t,nosuchvar
    printf 'cint = 24\nnosuchvar = 3\n' >"$work/s.scenario"
    expect_refused "s.scenario:2: unknown variable 'nosuchvar'" run --scenario "$work/s.scenario"
    ;;
bad-values)
    expect_refused "bw_m" run --set bw_m=abc
    expect_refused "bw_m" run --set bw_m=1e400
    expect_refused "bw_m" run --set bw_m=nan
    expect_refused "bw_m" run --set "bw_m=72.3 kg"
    expect_refused "ialg" run --set ialg=1.5
    expect_refused "ialg" run --set ialg=99999999999
    expect_refused "wesitg" run --set wesitg=yes
    expect_refused "--rtol: expected a tolerance between 0 and 1" run --rtol 0
    expect_refused "--atol: expected a tolerance between 0 and 1" sensitivity local --params bw_m --atol nan
    expect_refused "clf_uim_t" run --set clf_uim_t=1,2
    # One element of an array, set and recorded on its own.
    "$orvo" run --set tstop=24 --set cint=24 --vars 't,clf_uim_t(2),clf_uim_t[3]' --set 'clf_uim_t[2]=7.5' \
        >"$work/element.csv" || fail "array element run"
    [ "$(head -2 "$work/element.csv" | tr '\n' ' ')" = "t,clf_uim_t[2],clf_uim_t[3] 0,7.5,0.0952 " ] \
        || fail "array element columns: $(head -2 "$work/element.csv")"
    expect_refused "'clf_uim_t(17)': subscript 17 is beyond 16" run --vars 'clf_uim_t(17)'
    expect_refused "'bw_m(1)': 'bw_m' has no subscripts" run --set 'bw_m(1)=70'
    expect_refused "z99999" run --set z99999=1
    expect_refused "zzstopflag" run --set zzstopflag=1
    expect_refused "ca_mi" run --set ca_mi=1
    expect_refused "NAME=VALUE" run --set bw_m
    # Settings no run can mean are refused before it starts, in run and batch.
    for bad in ialg=0 ialg=99 ialg=6 tstop=0 tstop=-5 cint=0 cint=-24; do
        expect_refused "${bad%%=*}" run --set "$bad"
    done
    printf 'runs = 2\nseed = 1\nialg = 99\nbw_m ~ normal(65, 5)\n' >"$work/bad-ialg.pop"
    "$orvo" batch --scenario "$work/bad-ialg.pop" --vars ca_mi --jobs 1 --out "$work/bad-ialg" 2>"$work/err"
    grep -q 'ialg = 99 is not an integration method' "$work/bad-ialg/runs.csv" || fail "batch ran ialg 99: $(cat "$work/bad-ialg/runs.csv")"
    # Well-formed values of every kind are taken (a short run).
    "$orvo" run --set tstop=1 --set ialg=+5 --set wesitg=TRUE --set bw_m=65.5 \
        --set clf_uim_t=1,2,3,4,5,6,7,8,50,75,100,150,200,250,300,350 --vars t,bw_m \
        --summary --out "$work/ok.csv" >"$work/summary" 2>"$work/err" || fail "valid values refused: $(cat "$work/err")"
    grep -q 'bw_m = 65.5' "$work/summary" || fail "bw_m not applied: $(cat "$work/summary")"
    grep -q 'clf_uim_t = 1,2,3,4,5,6,7,8,50,' "$work/summary" || fail "array not applied"
    ;;
scenario-file)
    expect_refused "no-such.scenario" run --scenario "$work/no-such.scenario"
    printf '# comment only\n\ncint = 24\nthis line is wrong\n' >"$work/bad.scenario"
    expect_refused "bad.scenario:4" run --scenario "$work/bad.scenario"
    # --set comes after the scenario and wins.
    printf 'tstop = 1   # a short run\nbw_m = 60\n' >"$work/s.scenario"
    "$orvo" run --scenario "$work/s.scenario" --set bw_m=70 --vars t --summary --out "$work/s.csv" \
        >"$work/summary" 2>"$work/err" || fail "scenario run failed: $(cat "$work/err")"
    grep -q 'bw_m = 70  (--set)' "$work/summary" || fail "--set did not override: $(cat "$work/summary")"
    grep -q 'tstop = 1  (.*s.scenario:1)' "$work/summary" || fail "scenario origin missing"
    # --out naming an input (also through another path) is refused and the input kept.
    expect_refused "'$work/s.scenario' is a scenario file" run --scenario "$work/s.scenario" --out "$work/s.scenario"
    printf 'time,target,amount\n1,aplasma_mi,1\n' >"$work/d.csv"
    expect_refused "is the dose-record file" run --scenario "$work/s.scenario" --doses "$work/d.csv" --out "$work/../scenario-file/d.csv"
    grep -q '^bw_m = 60$' "$work/s.scenario" && grep -q aplasma_mi "$work/d.csv" || fail "an input was overwritten"
    # A huge line without '=' is named, not echoed whole.
    head -c 200000 /dev/zero | tr '\0' x >"$work/huge.scenario"
    expect_refused "huge.scenario:1: expected NAME=VALUE" run --scenario "$work/huge.scenario"
    [ "$(wc -c <"$work/err")" -lt 1000 ] || fail "the message echoes the whole line ($(wc -c <"$work/err") bytes)"
    ;;
short-run)
    "$orvo" run --set tstop=48 --set cint=24 --out "$work/run.csv" 2>"$work/err" || fail "run exited with $?: $(cat "$work/err")"
    head -1 "$work/run.csv" | grep -q '^t,.*massb_amount_i,massb_amount_p$' || fail "header: $(head -1 "$work/run.csv")"
    times=$(tail -n +2 "$work/run.csv" | cut -d, -f1 | tr '\n' ' ')
    [ "$times" = "0 24 48 " ] || fail "rows at t = $times, expected 0 24 48"
    # The same run to standard output, with the summary kept off it.
    "$orvo" run --set tstop=48 --set cint=24 --vars t,ca_mi --summary >"$work/stdout.csv" 2>"$work/err" || fail "stdout run"
    [ "$(data_rows "$work/stdout.csv")" -eq 3 ] || fail "stdout CSV: $(cat "$work/stdout.csv")"
    grep -q '^Output rows: 3$' "$work/err" || fail "summary not on stderr: $(cat "$work/err")"
    # --out naming standard output keeps the summary off the CSV too.
    "$orvo" run --set tstop=48 --set cint=24 --vars t,ca_mi --summary --out /dev/stdout >"$work/devstdout.csv" 2>"$work/err" \
        || fail "--out /dev/stdout exited with $?"
    cmp -s "$work/stdout.csv" "$work/devstdout.csv" || fail "--out /dev/stdout: $(head -c 300 "$work/devstdout.csv")"
    grep -q '^Output rows: 3$' "$work/err" || fail "summary not on stderr with --out /dev/stdout"
    echo log >"$work/log"
    "$orvo" run --set tstop=48 --set cint=24 --vars t,ca_mi --out /dev/stdout >>"$work/log" 2>"$work/err" || fail "append"
    [ "$(head -1 "$work/log")" = log ] && [ "$(data_rows "$work/log")" -eq 4 ] || fail "--out /dev/stdout >>: $(cat "$work/log")"
    ;;
failing-run)
    # No maternal body weight left beside the fetus: every concentration divides by zero.
    "$orvo" run --set pdoseug_i=200 --set bw_f=72.3 --set tstop=96 --set cint=24 --out "$work/f.csv" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "a failing run exited with $status"
    grep -q 'error state' "$work/err" || fail "no message about the error state: $(cat "$work/err")"
    # RK4 far outside its stability limit: finite nonsense by 2 h is flagged
    # by the balance; by 48 h a state beyond 1e100 ends the run naming where.
    "$orvo" run --set ialg=5 --set pdoseug_i=200 --set tstop=2 --set cint=2 --summary \
        --out "$work/rk4.csv" >"$work/summary" 2>"$work/err" || fail "the 2 h RK4 run exited with $?"
    grep -q 'WARNING: the iodide balance is off by' "$work/summary" || fail "no balance warning: $(cat "$work/summary")"
    "$orvo" run --set ialg=5 --set pdoseug_i=200 --set tstop=48 --set cint=24 --out "$work/rk4.csv" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "the runaway RK4 run exited with $status"
    grep -q 'Run ended by an error: state .* reached .*, beyond 1e+100, at t = ' "$work/err" || fail "runaway not named: $(cat "$work/err")"
    if [ -w /dev/full ]; then
        "$orvo" run --set tstop=48 --set cint=24 --out /dev/full 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] || fail "a failed write exited with $status"
        grep -q "writing '/dev/full' failed" "$work/err" || fail "no message about the failed write"
        # The summary and the symbol table on a full standard output: exit 1 with a message.
        "$orvo" run --set tstop=1 --vars t --summary --out "$work/s.csv" >/dev/full 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] && grep -q 'writing the summary to standard output failed' "$work/err" \
            || fail "a lost summary exited with $status: $(cat "$work/err")"
        "$orvo" list >/dev/full 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] && grep -q 'writing standard output failed' "$work/err" \
            || fail "list to a full disk exited with $status: $(cat "$work/err")"
    fi
    # A run ended by SIGTERM ends by that signal and leaves an earlier file of
    # that name as it was, with no partial CSV or temporary file beside it.
    echo earlier >"$work/long.csv"
    timeout --preserve-status -k 30 -s TERM 4 "$orvo" run --set tstop=1e308 --set cint=1e306 --out "$work/long.csv" 2>"$work/err"
    status=$?
    [ "$status" -eq 143 ] || fail "the interrupted run exited with $status, expected 143 (SIGTERM)"
    [ "$(cat "$work/long.csv")" = earlier ] || fail "the interrupted run replaced the earlier file: $(head -c 200 "$work/long.csv")"
    ls "$work" | grep -q 'long.csv.tmp' && fail "the interrupted run left $(ls "$work" | grep long.csv.tmp)"
    # A file the user may write in a folder it may not is still written (in place).
    if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
        mkdir -p "$work/locked" && echo earlier >"$work/locked/f.csv" && chmod 666 "$work/locked/f.csv" && chmod 755 "$work/locked"
        setpriv --reuid=65534 --regid=65534 --clear-groups "$orvo" run --set tstop=2 --vars t --out "$work/locked/f.csv" 2>"$work/err" \
            || fail "writing a file in a locked folder exited with $?: $(cat "$work/err")"
        [ "$(data_rows "$work/locked/f.csv")" -eq 2 ] || fail "locked folder: $(cat "$work/locked/f.csv")"
    fi
    ;;
doses)
    lib=$(dirname "$orvo")/../lib
    oral="$orvo run --lib $lib/liborvo_oral_absorption.so --set dose=0 --set tstop=120 --set cint=1 --set ialg=5 --set nstp=1000 --vars t,acentral"
    # Ten oral doses every 12 h off the output grid: one record with addl, or ten records.
    printf 'time,target,amount,ii,addl\n1.25,agut,100,12,9\n' >"$work/addl.csv"
    printf 'time,target,amount\n' >"$work/ten.csv"
    for k in 0 1 2 3 4 5 6 7 8 9; do echo "$(awk -v k=$k 'BEGIN { print 1.25 + 12 * k }'),agut,100" >>"$work/ten.csv"; done
    $oral --doses "$work/addl.csv" >"$work/addl.out" 2>"$work/err" || fail "addl run: $(cat "$work/err")"
    $oral --doses "$work/ten.csv" >"$work/ten.out" 2>"$work/err" || fail "ten-record run: $(cat "$work/err")"
    cmp -s "$work/addl.out" "$work/ten.out" || fail "addl and ten records differ"
    # Superposition of the closed form, and one row per output time.
    awk -F, 'NR > 1 { c = 0; for (k = 0; k < 10; k++) { s = $1 - 1.25 - 12 * k; if (s >= 0) c += 100 * 1.5 / 1.3 * (exp(-0.2 * s) - exp(-1.5 * s)) }
             d = $2 - c; if (d < 0) d = -d; if (d > worst) worst = d; n++ }
             END { if (n != 121 || worst > 1e-8) { print n " rows, worst " worst; exit 1 } }' "$work/addl.out" || fail "oral doses off the closed form"
    # An infusion of 30 mg over 5 h from t = 2.5 into the input rate rin.
    printf 'time,target,amount,duration\n2.5,rin,30,5\n' >"$work/inf.csv"
    "$orvo" run --lib "$lib/liborvo_infusion_test.so" --vars t,a,rin --doses "$work/inf.csv" >"$work/inf.out" 2>"$work/err" || fail "infusion run: $(cat "$work/err")"
    awk -F, 'NR > 1 { t = $1; if (t <= 2.5) c = 0; else if (t <= 7.5) c = 20 * (1 - exp(-0.3 * (t - 2.5)));
             else c = 20 * (1 - exp(-1.5)) * exp(-0.3 * (t - 7.5)); d = $2 - c; if (d < 0) d = -d; if (d > worst) worst = d }
             END { if (worst > 1e-8) { print "worst " worst; exit 1 } }' "$work/inf.out" || fail "infusion off the closed form"
    tail -1 "$work/inf.out" | grep -q ',0$' || fail "rin not restored after the infusion: $(tail -1 "$work/inf.out")"
    # Bad records: exit 2 naming the file, line and column; a late record is warned.
    printf 'time,target,amount\n1,nosuch,5\n' >"$work/bad.csv"
    expect_refused "bad.csv:2:3: unknown target 'nosuch'" run --lib "$lib/liborvo_infusion_test.so" --doses "$work/bad.csv"
    printf 'time,target,amount\n100,a,5\n' >"$work/late.csv"
    "$orvo" run --lib "$lib/liborvo_infusion_test.so" --doses "$work/late.csv" >"$work/late.out" 2>"$work/err" || fail "late record"
    grep -q 'late.csv:2: a dose at t = 100' "$work/err" || fail "late record not warned: $(cat "$work/err")"
    expect_refused "no-such.csv" run --doses "$work/no-such.csv"
    # A dose at tstop is not applied when the grid's last point rounds past it
    # (3 * 0.1 > 0.3), and one a rounding before an output time is applied at
    # it: the row stays on the grid and the run goes on (it stopped at 2 with exit 1).
    printf 'time,target,amount\n0.3,a,5\n' >"$work/at-stop.csv"
    "$orvo" run --lib "$lib/liborvo_infusion_test.so" --set cint=0.1 --set tstop=0.3 --vars t,a \
        --doses "$work/at-stop.csv" >"$work/at-stop.out" 2>"$work/err" || fail "dose at tstop: $(cat "$work/err")"
        grep -q 'at-stop.csv:2: a dose at t = 0.3 is not before the stop time 0.3' "$work/err" || fail "dose at tstop not warned"
    [ "$(tail -1 "$work/at-stop.out")" = "0.3,0" ] || fail "dose at tstop applied: $(tail -1 "$work/at-stop.out")"
    printf 'time,target,amount\n0.9999999999999,a,5\n' >"$work/near.csv"
    "$orvo" run --lib "$lib/liborvo_infusion_test.so" --set tstop=3 --vars t,a --doses "$work/near.csv" \
        >"$work/near.out" 2>"$work/err" || fail "dose a rounding before an output time: $(cat "$work/err")"
    [ "$(cut -d, -f1 "$work/near.out" | tr '\n' ' ')" = "t 0 1 2 3 " ] || fail "rows off the grid: $(cat "$work/near.out")"
    grep -q '^1,5$' "$work/near.out" || fail "dose not in the row at t = 1: $(cat "$work/near.out")"
    # A record before a later start is refused, where the run used to stop at its start.
    printf 'time,target,amount\n1,a,5\n' >"$work/early.csv"
    expect_refused "early.csv:2:1: the dose at t = 1 is before the run's start, t = 2" \
        run --lib "$lib/liborvo_infusion_test.so" --doses "$work/early.csv" --set zzticg=2
    # A population whose dose amount is sampled through a constant the records name:
    # the same tables with one worker, two, and three merged shards.
    printf 'time,target,amount\n0.5,a,bolus\n' >"$work/pop-doses.csv"
    printf 'runs = 6\nseed = 3\nbolus ~ uniform(5, 15)\n' >"$work/pop.scenario"
    popargs="--lib $lib/liborvo_infusion_test.so --scenario $work/pop.scenario --doses $work/pop-doses.csv --vars a --at 24"
    "$orvo" batch $popargs --jobs 1 --out "$work/p1" 2>"$work/err" || fail "dosed population: $(cat "$work/err")"
    "$orvo" batch $popargs --jobs 2 --out "$work/p2" 2>/dev/null || fail "dosed population, 2 workers"
    for k in 0 1 2; do "$orvo" batch $popargs --shard $k/3 --out "$work/p3" 2>/dev/null || fail "shard $k"; done
    "$orvo" merge "$work"/p3/part-*-of-3.csv --out "$work/p3" 2>/dev/null || fail "merge dosed shards"
    for table in runs.csv summary.csv; do
        cmp -s "$work/p1/$table" "$work/p2/$table" && cmp -s "$work/p1/$table" "$work/p3/$table" || fail "dosed $table differs"
    done
    # An infusion still running at the last output time: the next run on the
    # worker starts without it.
    printf 'time,target,amount,duration\n20,rin,30,10\n' >"$work/long.csv"
    "$orvo" batch --lib "$lib/liborvo_infusion_test.so" --scenario "$work/pop.scenario" --doses "$work/long.csv" \
        --vars a --at 24 --jobs 1 --out "$work/pl" 2>"$work/err" || fail "long infusion: $(cat "$work/err")"
    awk -F, 'NR == 2 { first = $5 } NR > 2 && $5 != first { print "run " $1 ": " $5 " vs " first; exit 1 }' \
        "$work/pl/runs.csv" || fail "an infusion went on into the next run"
    # A population file may name the records, found beside it, whatever the working folder.
    printf 'runs = 6\nseed = 3\nbolus ~ uniform(5, 15)\ndoses = pop-doses.csv\n' >"$work/named.scenario"
    (cd / && "$orvo" batch --lib "$lib/liborvo_infusion_test.so" --scenario "$work/named.scenario" --vars a --at 24 \
        --out "$work/pn" 2>"$work/err") || fail "population naming its doses: $(cat "$work/err")"
    cmp -s "$work/p1/runs.csv" "$work/pn/runs.csv" || fail "doses named in the population file differ from --doses"
    printf 'doses = no-such.csv\nbolus ~ uniform(5, 15)\n' >"$work/unnamed.scenario"
    expect_refused "unnamed.scenario:1: doses: cannot open .*no-such.csv" batch --lib "$lib/liborvo_infusion_test.so" \
        --scenario "$work/unnamed.scenario" --vars a
    # Local sensitivity through dose records: d ln a / d ln bolus = 1.
    printf 'bolus = 10\n' >"$work/loc.scenario"
    "$orvo" sensitivity local --lib "$lib/liborvo_infusion_test.so" --scenario "$work/loc.scenario" --params bolus \
        --doses "$work/pop-doses.csv" --vars a --at 24 --out "$work/loc" 2>"$work/err" || fail "local with doses: $(cat "$work/err")"
    c=$(grep '^bolus,a,24,' "$work/loc/local.csv" | cut -d, -f4)
    awk -v c="$c" 'BEGIN { exit !(c != "" && c - 1 < 1e-6 && 1 - c < 1e-6) }' || fail "d ln a / d ln bolus = '$c'"
    # Each run got its own sampled bolus: a(24) = bolus exp(-0.3 (24 - 0.5)).
    awk -F, 'NR > 1 { want = $2 * exp(-0.3 * 23.5); d = $5 - want; if (d < 0) d = -d; if (d > 1e-6 * want) { print "run " $1 ": " $5 " vs " want; exit 1 } n++ }
             END { if (n != 6) exit 1 }' "$work/p1/runs.csv" || fail "dosed runs: $(cat "$work/p1/runs.csv")"
    ;;
example-scenario)
    "$orvo" run --scenario "$source_dir/models/pregnancy/scenarios/example.scenario" --out "$work/example.csv" --summary \
        >"$work/summary" 2>"$work/err" || fail "example run exited with $?: $(cat "$work/err")"
    [ "$(data_rows "$work/example.csv")" -eq 101 ] || fail "$(data_rows "$work/example.csv") rows, expected 101"
    tail -1 "$work/example.csv" | grep -q '^2400,' || fail "last row is not t = 2400"
    grep -q '^Output rows: 101$' "$work/summary" || fail "summary rows: $(cat "$work/summary")"
    grep -q '^Final time: t = 2400$' "$work/summary" || fail "summary final time"
    # The iodide dose is all found in the body or eliminated. The perchlorate
    # check leaves out the bound, red-cell and skin amounts, so it is only shown.
    line=$(grep '^  iodide: dosed' "$work/summary") || fail "no iodide balance"
    relative=$(echo "$line" | sed -n 's/.*(\([^ ]*\) of the dose).*/\1/p')
    [ -n "$relative" ] || fail "iodide was not dosed: $line"
    awk -v r="$relative" 'BEGIN { exit !(r + 0 <= 1e-6) }' || fail "iodide mass balance off: $line"
    grep -q '^  perchlorate: dosed [1-9]' "$work/summary" || fail "no perchlorate balance"
    grep -q 'WARNING' "$work/summary" && fail "a sound run was warned about: $(cat "$work/summary")"
    ;;
batch-reproducible)
    # The same tables, byte for byte, from one worker, two workers and three merged shards.
    printf '%s\n' 'pdoseug_i = 200' 'doseon = 0' 'cint = 24' 'tstop = 48' 'runs = 7' 'seed = 3' 'sampling = lhs' \
        'bw_m ~ normal(72.3, 8.0) [45, 120]' 'pdosemg_p ~ lognormal(0.007, 2.0)' 'clf_uim_t(2) ~ uniform(1, 3)' \
        >"$work/p.scenario"
    args="--scenario $work/p.scenario --vars ca_mi,cthyt_mi --at 24,48"
    "$orvo" batch $args --jobs 1 --out "$work/j1" 2>"$work/err" || fail "jobs 1 exited with $?: $(cat "$work/err")"
    "$orvo" batch $args --jobs 2 --out "$work/j2" --plot "$work/j2/band.svg" 2>"$work/err" || fail "jobs 2: $(cat "$work/err")"
    for k in 2 0 1; do
        "$orvo" batch $args --shard $k/3 --out "$work/parts" 2>"$work/err" || fail "shard $k: $(cat "$work/err")"
    done
    "$orvo" merge "$work"/parts/part-*-of-3.csv --out "$work/merged" 2>"$work/err" || fail "merge: $(cat "$work/err")"
    for table in runs.csv summary.csv; do
        cmp -s "$work/j1/$table" "$work/j2/$table" || fail "$table differs between --jobs 1 and 2"
        cmp -s "$work/j1/$table" "$work/merged/$table" || fail "$table differs between one run and merged shards"
    done
    [ "$(data_rows "$work/j1/runs.csv")" -eq 7 ] || fail "runs.csv rows: $(cat "$work/j1/runs.csv")"
    head -1 "$work/j1/runs.csv" | grep -q '^run,bw_m,pdosemg_p,clf_uim_t(2),status,message,ca_mi@24,ca_mi@48,ca_mi_max,ca_mi_tmax,ca_mi_auc,ca_mi_final,cthyt_mi@24,' \
        || fail "runs.csv header: $(head -1 "$work/j1/runs.csv")"
    grep -q '^ca_mi,48,7,' "$work/j1/summary.csv" || fail "summary: $(cat "$work/j1/summary.csv")"
    grep -q '<polyline' "$work/j2/band.svg" || fail "no band plot"
    # Axis labels carry the units of the model's metadata.
    grep -q '>ca_mi (nmol/L)</text>' "$work/j2/band.svg" && grep -q '>t (h)</text>' "$work/j2/band.svg" \
        || fail "band plot without units: $(grep -o '<text[^<]*</text>' "$work/j2/band.svg" | head -4)"
    grep -q '^# hash=' "$work/parts/part-0-of-3.csv" || fail "part header"
    [ -z "$(find "$work/parts" "$work/j1" -name "*tmp*" -o -name "orvo-summary*")" ] || fail "temporary or scratch files left behind"
    # A part of another population does not merge.
    "$orvo" batch $args --set seed=4 --shard 1/3 --out "$work/other" 2>/dev/null || fail "other shard"
    expect_refused "population differs" merge "$work/parts/part-0-of-3.csv" "$work/other/part-1-of-3.csv" \
        "$work/parts/part-2-of-3.csv" --out "$work/bad"
    expect_refused "missing" merge "$work/parts/part-0-of-3.csv" "$work/parts/part-2-of-3.csv" --out "$work/bad"
    expect_refused "twice" merge "$work"/parts/part-*-of-3.csv "$work/parts/part-0-of-3.csv" --out "$work/bad"
    head -n 9 "$work/parts/part-0-of-3.csv" >"$work/cut.csv"
    expect_refused "the part is incomplete" merge "$work/cut.csv" --out "$work/bad"
    expect_refused "'$work/parts' is a folder, not a part file" merge "$work/parts" --out "$work/bad"
    cp "$work/parts/part-1-of-3.csv" "$work/part-1.copy"
    expect_refused "'$work/parts/part-1-of-3.csv' is a part file: the plot would replace it" merge \
        "$work"/parts/part-*-of-3.csv --out "$work/bad" --plot "$work/parts/part-1-of-3.csv"
    cmp -s "$work/parts/part-1-of-3.csv" "$work/part-1.copy" || fail "the plot replaced a part"
    cat "$work/parts/part-0-of-3.csv" | expect_refused "'/dev/stdin' is a pipe or device, not a file" merge /dev/stdin \
        "$work/parts/part-1-of-3.csv" "$work/parts/part-2-of-3.csv" --out "$work/bad" || exit 1
    expect_refused "no part file matches '$work/parts/part-\*-of-7.csv'" merge "$work"/parts/part-*-of-7.csv --out "$work/bad"
    [ -e "$work/bad" ] && fail "a refused merge wrote output"
    # While a batch writes its tables into a folder, another batch or a merge
    # writing tables there is refused (exit 1); a shard, which writes only its
    # part, is not. The folder is free again once the first has gone.
    printf 'runs = 100000\nseed = 3\nbw_m ~ normal(70, 5)\n' >"$work/long.scenario"
    short="--set tstop=24 --set cint=24 --vars ca_mi"
    "$orvo" batch --scenario "$work/long.scenario" $short --jobs 1 --out "$work/busy" 2>/dev/null &
    busy=$!
    trap 'kill $busy 2>/dev/null' EXIT
    waited=0
    until ls "$work"/busy/runs.csv.tmp.* >/dev/null 2>&1; do
        [ "$waited" -lt 300 ] || fail "the long batch did not start"
        sleep 0.1
        waited=$((waited + 1))
    done
    for other in "batch $args --out $work/busy" "merge $work/parts/part-0-of-3.csv $work/parts/part-1-of-3.csv $work/parts/part-2-of-3.csv --out $work/busy"; do
        status=0
        "$orvo" $other 2>"$work/err" || status=$?
        [ "$status" -eq 1 ] && grep -q "another orvo command is writing its tables into '$work/busy'" "$work/err" ||
            fail "$other beside a running batch: $status $(cat "$work/err")"
    done
    "$orvo" batch $args --shard 0/3 --out "$work/busy" 2>"$work/err" || fail "a shard beside a running batch: $(cat "$work/err")"
    kill $busy
    wait $busy
    "$orvo" batch $args --out "$work/busy" 2>"$work/err" || fail "the folder stayed held: $(cat "$work/err")"
    cmp -s "$work/j1/runs.csv" "$work/busy/runs.csv" || fail "runs.csv after the held folder was freed"
    ;;
batch-bad-input)
    # Each bad input: exit 2, a message naming file and line, and nothing runs.
    refuse_line() {
        printf 'cint = 24\ntstop = 24\n%s\n' "$2" >"$work/bad.scenario"
        expect_refused "bad.scenario:3: $1" batch --scenario "$work/bad.scenario" --out "$work/never"
        [ -e "$work/never" ] && fail "'$2' was refused but wrote output"
        return 0
    }
    refuse_line "unknown variable 'nosuchvar'" 'nosuchvar ~ uniform(1, 2)'
    refuse_line "cannot vary 'ca_mi'" 'ca_mi ~ uniform(1, 2)'
    refuse_line "cannot vary 'tstop'" 'tstop ~ uniform(10, 20)'
    refuse_line "'clf_uim_t(17)': subscript 17" 'clf_uim_t(17) ~ uniform(1, 2)'
    refuse_line "unknown distribution" 'bw_m ~ pareto(1, 2)'
    refuse_line "expected normal(mean, sd)" 'bw_m ~ normal(72)'
    refuse_line "normal: sd must be > 0" 'bw_m ~ normal(72, 0)'
    refuse_line "lognormal: geometric sd must be > 1" 'pdosemg_p ~ lognormal(0.007, 0.5)'
    refuse_line "uniform: needs a < b" 'bw_m ~ uniform(80, 60)'
    refuse_line "truncation bounds \[300, 400\] leave no probability" 'bw_m ~ normal(72, 8) [300, 400]'
    refuse_line "runs must be" 'runs = 0'
    refuse_line "bad value 'heavy'" 'bw_m = heavy'
    printf 'bw_m,nosuchvar\n60,1\n' >"$work/sets.csv"
    expect_refused "sets.csv:1: unknown variable 'nosuchvar'" batch --params "$work/sets.csv"
    printf 'bw_m\n60\n7o\n' >"$work/sets.csv"
    expect_refused "sets.csv:3: bad value '7o'" batch --params "$work/sets.csv"
    expect_refused "K must be below N" batch --params "$work/sets.csv" --shard 2/2
    printf 'bw_m\n60\n' >"$work/sets.csv"
    expect_refused "at 30 is not an output time" batch --set tstop=48 --set cint=24 --params "$work/sets.csv" --at 30
    expect_refused "no distribution lines" sensitivity sobol --scenario "$source_dir/models/pregnancy/scenarios/example.scenario"
    # Inputs no population can mean, refused before any run.
    refuse_line "its draws overflow to infinity" 'bw_m ~ uniform(-1.7e308, 1.7e308)'
    printf 'runs = 3\nruns = 4\nbw_m ~ normal(70, 5)\n' >"$work/twice.scenario"
    expect_refused "twice.scenario:2: runs is given twice (also .*twice.scenario:1)" batch --scenario "$work/twice.scenario"
    printf 'bw_m = 60\nbw_m ~ normal(70, 5)\n' >"$work/both.scenario"
    expect_refused "both.scenario:2: 'bw_m' is also set (.*both.scenario:1)" batch --scenario "$work/both.scenario"
    expect_refused "'CA_MI' is given twice" batch --scenario "$work/both.scenario" --vars ca_mi,CA_MI
    mkdir -p "$work/folder.scenario"
    expect_refused "is a folder" batch --scenario "$work/folder.scenario"
    # A population whose tables could not fit on the disk is refused before it runs.
    expect_refused "would need about .* GB of disk space" batch --scenario "$source_dir/models/pregnancy/scenarios/population.scenario" \
        --set runs=100000000 --set cint=1 --out "$work/never"
    [ ! -e "$work/never" ] || fail "a refused population created its output folder"
    # So is a Sobol design (here 900 million runs) that could not fit in memory.
    expect_refused "(900000000 runs) would need about .* GB of memory" sensitivity sobol \
        --scenario "$source_dir/models/pregnancy/scenarios/population.scenario" --runs 100000000 --out "$work/never"
    [ ! -e "$work/never" ] || fail "a refused Sobol design created its output folder"
    # A byte-order mark (spreadsheet CSV) is not part of the first name; long names are cut.
    printf '\357\273\277bw_m\n60\n' >"$work/bom.csv"
    "$orvo" batch --params "$work/bom.csv" --set tstop=24 --set cint=24 --vars ca_mi --out "$work/bom" 2>"$work/err" ||
        fail "byte-order mark: $(cat "$work/err")"
    long=$(awk 'BEGIN { while (n++ < 5000) printf "x" }')
    "$orvo" run --set "$long=1" 2>"$work/err"
    [ "$(wc -c <"$work/err")" -lt 300 ] || fail "a long name was echoed whole"
    # Output that cannot be written is found before the first run.
    if [ -d /proc/1 ]; then
        expect_status=0
        "$orvo" batch --scenario "$source_dir/models/pregnancy/scenarios/population.scenario" --set runs=2 --out /proc/1 2>"$work/err" || expect_status=$?
        [ "$expect_status" -eq 1 ] && grep -q "cannot write into '/proc/1'" "$work/err" || fail "unwritable output: $expect_status $(cat "$work/err")"
    fi
    # A folder where the plot or summary.csv would go is found before the runs, too.
    printf 'runs = 4\nseed = 3\nbw_m ~ normal(70, 5)\n' >"$work/small.scenario"
    mkdir -p "$work/plotdir" "$work/sumdir/summary.csv"
    for target in "--out $work/plotted --plot $work/plotdir" "--out $work/sumdir"; do
        status=0
        "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi $target 2>"$work/err" || status=$?
        [ "$status" -eq 1 ] && grep -q "is a folder, not a file" "$work/err" || fail "$target: $status $(cat "$work/err")"
        [ -z "$(find "$work/plotted" "$work/sumdir" -name 'runs.csv*' 2>/dev/null)" ] || fail "$target: the runs went ahead"
    done
    # A plot that would replace the population file, a table or a part is refused before anything runs.
    cp "$work/small.scenario" "$work/own.scenario"
    cp "$work/own.scenario" "$work/own.copy"
    expect_refused "'$work/own.scenario' is a population file: the plot would replace it" batch \
        --scenario "$work/own.scenario" --set tstop=24 --set cint=24 --vars ca_mi --out "$work/own" --plot "$work/own.scenario"
    expect_refused "is where summary.csv goes" batch --scenario "$work/own.scenario" --set tstop=24 --set cint=24 \
        --vars ca_mi --out "$work/own" --plot "$work/own/../own/summary.csv"
    cmp -s "$work/own.scenario" "$work/own.copy" && [ ! -e "$work/own" ] || fail "a refused plot wrote or replaced a file"
    # So are tables or a part that would replace an input: the population file,
    # the --params design, a part being merged.
    mkdir -p "$work/ins"
    cp "$work/small.scenario" "$work/ins/summary.csv"
    printf 'bw_m\n60\n70\n' >"$work/ins/runs.csv"
    cp "$work/small.scenario" "$work/ins/part-1-of-2.csv"
    (cd "$work/ins" && tar cf ../ins.tar .)
    expect_refused "'$work/ins/summary.csv' is a population file: summary.csv would replace it" batch \
        --scenario "$work/ins/summary.csv" --set tstop=24 --set cint=24 --vars ca_mi --out "$work/ins"
    expect_refused "ins/runs.csv' is the --params file: runs.csv would replace it" batch \
        --params "$work/ins/runs.csv" --set tstop=24 --set cint=24 --vars ca_mi --out "$work/ins/../ins"
    expect_refused "part-1-of-2.csv' is a population file: part-1-of-2.csv would replace it" batch \
        --scenario "$work/ins/part-1-of-2.csv" --set tstop=24 --set cint=24 --vars ca_mi --shard 1/2 --out "$work/ins"
    cp "$work/small.scenario" "$work/ins/sobol.csv"
    expect_refused "ins/sobol.csv' is a population file: sobol.csv would replace it" sensitivity sobol \
        --scenario "$work/ins/sobol.csv" --runs 16 --set tstop=24 --set cint=24 --vars ca_mi --out "$work/ins"
    printf 'time,target,amount\n1,aplasma_mi,1\n' >"$work/ins/local.csv"
    (cd "$work/ins" && tar cf ../ins.tar .)
    expect_refused "ins/local.csv' is the --doses file: local.csv would replace it" sensitivity local \
        --params bw_m --doses "$work/ins/local.csv" --set tstop=24 --set cint=24 --vars ca_mi --out "$work/ins"
    for k in 0 1; do
        "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi --shard $k/2 \
            --out "$work/inparts" 2>/dev/null
    done
    mv "$work/inparts/part-0-of-2.csv" "$work/inparts/runs.csv"
    cp "$work/inparts/runs.csv" "$work/inparts/runs.copy"
    expect_refused "runs.csv' is a part file: runs.csv would replace it" merge "$work/inparts/runs.csv" \
        "$work/inparts/part-1-of-2.csv" --out "$work/inparts"
    (cd "$work/ins" && tar cf ../ins.after .)
    cmp -s "$work/ins.tar" "$work/ins.after" && cmp -s "$work/inparts/runs.csv" "$work/inparts/runs.copy" ||
        fail "a refused batch or merge replaced an input"
    # summary.csv that cannot be written (here past a file size limit, as on a
    # full disk) leaves the folder's earlier runs.csv and summary.csv as they were.
    pop="$source_dir/models/pregnancy/scenarios/population.scenario"
    "$orvo" batch --scenario "$pop" --set runs=2 --set seed=4 --out "$work/pair" 2>/dev/null || fail "first pair"
    cp "$work/pair/runs.csv" "$work/pair-runs.csv"
    status=0
    (trap '' XFSZ; ulimit -f 40; exec "$orvo" batch --scenario "$pop" --set runs=2 --out "$work/pair" 2>"$work/err") || status=$?
    [ "$status" -eq 1 ] && grep -q "summary.csv.* failed" "$work/err" || fail "summary past the limit: $status $(cat "$work/err")"
    cmp -s "$work/pair/runs.csv" "$work/pair-runs.csv" || fail "a new runs.csv was left beside the old summary.csv"
    # Parts of another model build, or a header asking for 2^32 shards, do not merge.
    "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi --shard 0/2 --out "$work/pa" 2>/dev/null
    "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi --shard 1/2 --out "$work/pa" 2>/dev/null
    # A part changed after it was written (one number, or its hash) fails its checksum.
    sed 's/^# hash=.*/# hash=0000000000000000/' "$work/pa/part-1-of-2.csv" >"$work/pa/other.csv"
    expect_refused "other.csv:.*does not match the checksum" merge "$work/pa/part-0-of-2.csv" "$work/pa/other.csv" --out "$work/never"
    awk -F, 'BEGIN { OFS = "," } !/^#/ && $1 == 3 { $2 = $2 * 1.0001 } { print }' "$work/pa/part-1-of-2.csv" >"$work/pa/edited.csv"
    cmp -s "$work/pa/edited.csv" "$work/pa/part-1-of-2.csv" && fail "the edit changed nothing"
    expect_refused "edited.csv:.*does not match the checksum" merge "$work/pa/part-0-of-2.csv" "$work/pa/edited.csv" --out "$work/never"
    # A writer killed before its rename leaves a temporary file: the next write of that file removes it.
    : >"$work/pa/part-1-of-2.csv.tmp.999999999"
    "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi --shard 1/2 --out "$work/pa" 2>/dev/null
    [ ! -e "$work/pa/part-1-of-2.csv.tmp.999999999" ] || fail "a stale temporary file was left"
    "$orvo" batch --scenario "$work/small.scenario" --set tstop=24 --set cint=24 --vars ca_mi --shard 0/4294967295 \
        --out "$work/huge" 2>/dev/null
    expect_refused "shard(s) 1, 2, .* of 4294967295 missing" merge "$work"/huge/part-0-of-4294967295.csv --out "$work/never"
    ;;
batch-failures)
    # A run that fails is recorded with its status and message; the others go on; exit 3.
    printf 'bw_f,pdoseug_i\n0.5,100\n72.3,200\n0.5,300\n' >"$work/sets.csv"
    "$orvo" batch --set tstop=48 --set cint=24 --params "$work/sets.csv" --vars ca_mi --jobs 2 --out "$work/out" \
        2>"$work/err"
    status=$?
    [ "$status" -eq 3 ] || fail "a batch with a failed run exited with $status: $(cat "$work/err")"
    grep -q '1 of 3 runs failed and are excluded' "$work/err" || fail "no count of excluded runs: $(cat "$work/err")"
    grep -q '^1,72.3,200,error,[^,]' "$work/out/runs.csv" || fail "failed run not recorded: $(cat "$work/out/runs.csv")"
    grep -q '^2,0.5,300,ok,,' "$work/out/runs.csv" || fail "the run after the failure is missing"
    grep -q '^ca_mi,48,2,' "$work/out/summary.csv" || fail "summary does not exclude the failed run"
    ;;
sensitivity)
    printf 'pdoseug_i = 200\npdosemg_p = 0.007\ndoseon = 0\ncint = 24\ntstop = 48\n' >"$work/s.scenario"
    "$orvo" sensitivity local --scenario "$work/s.scenario" --params pdoseug_i,bw_m --vars aioral_i,ca_mi \
        --at 24,48 --out "$work/local" 2>"$work/err" || fail "local exited with $?: $(cat "$work/err")"
    head -1 "$work/local/local.csv" | grep -q '^parameter,variable,time,coefficient$' || fail "local.csv header"
    # The dosed amount is proportional to the dose rate: coefficient 1.
    for t in 24 48; do
        c=$(grep "^pdoseug_i,aioral_i,$t," "$work/local/local.csv" | cut -d, -f4)
        awk -v c="$c" 'BEGIN { exit !(c != "" && c - 1 < 1e-9 && 1 - c < 1e-9) }' \
            || fail "d ln aioral_i / d ln pdoseug_i = '$c' at $t"
    done
    c=$(grep '^bw_m,ca_mi,48,' "$work/local/local.csv" | cut -d, -f4)
    awk -v c="$c" 'BEGIN { exit !(c != "" && c < 0) }' || fail "heavier women should have lower serum iodide: '$c'"
    # Sobol: sharded and merged gives the unsharded table.
    printf 'cint = 24\ntstop = 24\nseed = 5\nbw_m ~ normal(72.3, 8.0)\npdoseug_i ~ uniform(100, 300)\n' >"$work/p.scenario"
    args="--scenario $work/p.scenario --vars ca_mi --runs 10 --bootstrap 20"
    "$orvo" sensitivity sobol $args --out "$work/sobol" 2>"$work/err" || fail "sobol exited with $?: $(cat "$work/err")"
    [ "$(data_rows "$work/sobol/runs.csv")" -eq 40 ] || fail "a Sobol design of 10 rows and 2 parameters has 40 runs"
    for k in 0 1; do
        "$orvo" sensitivity sobol $args --shard $k/2 --out "$work/parts" 2>"$work/err" || fail "sobol shard $k"
    done
    "$orvo" merge "$work"/parts/part-*.csv --out "$work/merged" 2>"$work/err" || fail "sobol merge: $(cat "$work/err")"
    cmp -s "$work/sobol/sobol.csv" "$work/merged/sobol.csv" || fail "sobol.csv differs after merging shards"
    # A folder where sobol.csv, local.csv or the merged table goes is found before the runs.
    mkdir -p "$work/held/sobol.csv" "$work/held/local.csv"
    for command in "sensitivity sobol $args" "sensitivity local --scenario $work/s.scenario --params bw_m --vars ca_mi" \
                   "merge $work/parts/part-0-of-2.csv $work/parts/part-1-of-2.csv"; do
        status=0
        "$orvo" $command --out "$work/held" 2>"$work/err" || status=$?
        [ "$status" -eq 1 ] && grep -q "is a folder, not a file" "$work/err" || fail "$command: $status $(cat "$work/err")"
    done
    [ ! -e "$work/held/runs.csv" ] || fail "runs went ahead of a folder in a table's place"
    expect_refused "--plot draws the band of batch parts" merge "$work"/parts/part-*.csv --out "$work/unplotted" \
        --plot "$work/unplotted/band.svg"
    [ ! -e "$work/unplotted" ] || fail "a refused merge wrote output"
    grep -q '^bw_m,ca_mi,24,' "$work/sobol/sobol.csv" || fail "sobol.csv: $(cat "$work/sobol/sobol.csv")"
    # Designs that cannot give indices, and integer inputs.
    expect_refused "at least 10 base rows" sensitivity sobol --scenario "$work/p.scenario" --runs 1
    printf 'cint = 24\ntstop = 24\nbw_f ~ uniform(72, 73)\n' >"$work/fails.scenario"
    "$orvo" sensitivity sobol --scenario "$work/fails.scenario" --vars ca_mi --runs 10 --out "$work/fails" 2>"$work/err"
    grep -q 'only 0 of 10 base rows usable' "$work/err" || fail "all-failed Sobol not reported: $(cat "$work/err")"
    grep -q '^bw_f,ca_mi,24,,,,,,$' "$work/fails/sobol.csv" || fail "indices of failed runs not empty: $(cat "$work/fails/sobol.csv")"
    expect_refused "'ialg' is not a real-valued constant" sensitivity local --params ialg,bw_m --set tstop=24 --set cint=24
    printf 'runs = 3\nialg ~ uniform(1e11, 1e12)\n' >"$work/int.scenario"
    expect_refused "outside the range of its type" batch --scenario "$work/int.scenario" --set tstop=24 --set cint=24
    ;;
options)
    # Each command's --help lists exactly the options it takes.
    for entry in "list:--help,--lib" \
        "run:--atol,--doses,--help,--lib,--out,--rtol,--scenario,--set,--summary,--units,--vars" \
        "batch:--at,--atol,--doses,--help,--jobs,--lib,--out,--params,--plot,--progress,--rtol,--run-timeout,--scenario,--set,--shard,--vars" \
        "merge:--help,--lib,--out,--plot,--vars" \
        "sensitivity local:--at,--atol,--doses,--help,--jobs,--lib,--out,--params,--progress,--rtol,--run-timeout,--scenario,--set,--step,--vars" \
        "sensitivity sobol:--at,--atol,--bootstrap,--doses,--help,--jobs,--lib,--out,--progress,--rtol,--run-timeout,--runs,--scenario,--set,--shard,--vars"; do
        command=${entry%%:*}
        expected=${entry#*:}
        $orvo $command --help >"$work/help" 2>"$work/err" || fail "$command --help exited with $?"
        listed=$(sed -n 's/^  *\(-h,\)\{0,1\}\(--[a-z-]*\).*/\2/p' "$work/help" | sort | paste -sd, -)
        [ "$listed" = "$expected" ] || fail "$command --help lists $listed, expected $expected"
    done
    "$orvo" --help | grep -q 'sensitivity sobol' || fail "the overview lacks sensitivity sobol"
    "$orvo" sensitivity --help | grep -q 'sensitivity local' || fail "sensitivity --help lacks its methods"
    # An option a command does not take, a missing value, a wrong kind of value: exit 2 naming it.
    pop="$source_dir/models/pregnancy/scenarios/population.scenario"
    expect_refused "option --step does not apply to 'sensitivity sobol'" sensitivity sobol --scenario "$pop" --step 0.3
    expect_refused "option --runs does not apply to 'sensitivity local'" sensitivity local --params bw_m --runs 5
    expect_refused "option --bootstrap does not apply" sensitivity local --params bw_m --bootstrap 3
    expect_refused "option --shard does not apply" sensitivity local --params bw_m --shard 0/2
    expect_refused "option --plot does not apply" sensitivity sobol --scenario "$pop" --plot x.svg
    expect_refused "option --params does not apply" sensitivity sobol --scenario "$pop" --params bw_m
    expect_refused "option --doses does not apply to 'merge'" merge "$work/none.csv" --doses d.csv
    expect_refused "option --run-timeout does not apply to 'run'" run --run-timeout 5
    expect_refused "option --summary does not apply to 'batch'" batch --scenario "$pop" --summary
    expect_refused "option --set does not apply to 'list'" list --set cint=1
    expect_refused "option --scenario does not apply to 'merge'" merge a.csv --scenario a
    expect_refused "unknown option '--frobnicate'" run --frobnicate
    expect_refused "option --summary takes no value" run --summary=yes
    expect_refused "--jobs" batch --scenario "$pop" --jobs
    expect_refused "--runs: expected a whole number" sensitivity sobol --scenario "$pop" --runs many
    expect_refused "--step: expected a relative step" sensitivity local --params bw_m --step 0.7
    # A step lost in rounding made every coefficient 0.
    expect_refused "--step: expected a relative step from 1e-10.*got '1e-17'" sensitivity local --params bw_m --step 1e-17
    expect_refused "--params" sensitivity local --scenario "$pop"
    # Local runs are the scenario's, up and down: a design setting would be ignored.
    expect_refused "--set: runs does not apply to local sensitivity" sensitivity local --params bw_m --set runs=5
    printf 'bw_m = 70\nsampling = lhs\n' >"$work/design.scenario"
    expect_refused "design.scenario:2: sampling does not apply" sensitivity local --params bw_m --scenario "$work/design.scenario"
    expect_refused "sensitivity needs a method" sensitivity
    expect_refused "unknown sensitivity method 'global'" sensitivity global
    # Empty values (an unset variable in a script) and one column named twice.
    expect_refused "--out: the file name is empty" run --out ""
    expect_refused "--doses: the file name is empty" run --doses ""
    expect_refused "--out: the folder name is empty" batch --scenario "$pop" --out ""
    expect_refused "--doses: the file name is empty" batch --scenario "$pop" --doses ""
    expect_refused "--plot: the file name is empty" merge "$work/none.csv" --plot ""
    expect_refused "--scenario: the file name is empty" run --scenario ""
    expect_refused "--doses is given 2 times" run --doses a.csv --doses=b.csv
    expect_refused "--out is given 2 times" run --out a.csv --out b.csv
    expect_refused "--lib: the library path is empty" list --lib ""
    expect_refused "--lib: the library path is empty" run --lib "" --set tstop=1
    # calibrate wrote its tables into / with --out "", and build's empty --settings meant the default
    expect_refused "--out: the folder name is empty" calibrate "$work/none.cal" --out ""
    expect_refused "--continue: the folder name is empty" calibrate "$work/none.cal" --continue ""
    expect_refused "--lib: the library path is empty" calibrate "$work/none.cal" --out "$work/c" --lib ""
    expect_refused "FILE: the file name is empty" calibrate "" --out "$work/c"
    expect_refused "--out: the folder name is empty" build "$work/none.model" --out ""
    expect_refused "--settings: the file name is empty" build "$work/none.model" --settings ""
    expect_refused "--vars: empty name in list" run --vars "t,,ca_mi"
    expect_refused "--vars: 'clf_uim_t\[2\]' is given twice" run --vars 't,clf_uim_t(2),clf_uim_t[2]'
    expect_refused "--vars: 'clf_uim_t\[2\]' is recorded twice" run --vars 'clf_uim_t,clf_uim_t( 2 )'
    expect_refused "unknown command 'walk'" walk
    expect_refused "population.scenario:[0-9]*: 'pdoseug_i ~ .*' is a distribution: a population file runs with orvo batch" \
        run --scenario "$pop"
    expect_refused "'--lib' comes before the command: options go after it" --lib x.so run
    [ "$("$orvo" --version)" = "orvo $(sed -n 's/^project(orvo VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ] ||
        fail "orvo --version: $("$orvo" --version 2>&1)"
    # An orvo away from its lib/ folder, with no library named.
    mkdir -p "$work/lone" && cp "$orvo" "$work/lone/orvo"
    "$work/lone/orvo" list >/dev/null 2>"$work/err" && fail "a lone orvo listed a model"
    grep -q "no model library is installed beside this orvo (lib/orvo-default-model): name one with --lib" "$work/err" ||
        fail "lone orvo: $(cat "$work/err")"
    expect_refused "no command" 
    [ -e "$work/x.svg" ] && fail "a refused command wrote output"
    ;;
calibrate)
    lib=$(dirname "$orvo")/../lib
    linear="--lib $lib/liborvo_linear_test.so"
    printf 'time,variable,value\n0,y,1.1\n1,y,2.9\n2,y,5.2\n3,y,6.8\n4,y,9.1\n' >"$work/lin.csv"
    printf 'a ~ normal(0, 10)\nb ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n' >"$work/lin.cal"
    # Bad files: exit 2 naming the file and line, nothing run.
    for bad_case in "bad1|a ~ normal(0, 10)\nc ~ normal(0, 1)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n|bad1.cal:2: unknown parameter 'c'" \
                "bad2|a ~ normal(0, 10)\nerror y normal 0.5\nerror z normal 0.5\n[experiment e]\ndata = lin.csv\n|bad2.cal:3: unknown variable 'z'" \
                "bad3|a ~ normal(0, 10) [500, 600]\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n|bad3.cal:1: a: truncation bounds" \
                "bad4|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = late.csv\n|late.csv:3: time 9 is outside the run" \
                "bad5|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = text.csv\n|text.csv:2: value 'high' is not a number" \
                "bad6|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = other.csv\n|other.csv:2: variable 's' has no error model" \
                "bad7|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = missing.csv\n|bad7.cal:3: cannot read the data file" \
                "bad8|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\nnosuch = 1\n|bad8.cal:5: unknown variable 'nosuch'" \
                "bad9|a ~ normal(0, 10)\na = 2\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n|bad9.cal:2: 'a' is calibrated (.*bad9.cal:1): set it or calibrate it" \
                "bad10|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\na = 2\n|bad10.cal:5: 'a' is calibrated" \
                "bad11|nstp ~ uniform(1, 5)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n|bad11.cal:1: cannot calibrate 'nstp': it is not a real-valued constant" \
                "bad12|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\ndoses = none.csv\n|bad12.cal:3: cannot open the dose-record file" \
                "bad13|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = .\n|bad13.cal:3: cannot read the data file" \
                "bad14|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\ndata = late.csv\n|bad14.cal:5: data is given twice in experiment 'e'" \
                "bad15|a ~ normal(0, 10)\nerror y normal 0.5\n[experiment e]\ndata = ~/lin.csv\n|bad15.cal:3: cannot read the data file .*/~/lin.csv"; do
        name=${bad_case%%|*}; rest=${bad_case#*|}; text=${rest%%|*}; message=${rest#*|}
        printf "$text" >"$work/$name.cal"
        printf 'time,variable,value\n1,y,1\n9,y,2\n' >"$work/late.csv"
        printf 'time,variable,value\n1,y,high\n' >"$work/text.csv"
        printf 'time,variable,value\n1,s,0\n' >"$work/other.csv"
        expect_refused "$message" calibrate "$work/$name.cal" --out "$work/o" $linear
    done
    [ -e "$work/o" ] && fail "a refused calibration wrote outputs"
    # Chains that never found a point where the data are possible: refused,
    # naming the cause, with no outputs.
    printf 'a ~ normal(0, 10)\nb ~ uniform(-2, -1)\nerror y normal 0.5\n[experiment e]\ndata = lin.csv\n' >"$work/fails.cal"
    expect_refused "chains sampled no posterior (the model's run fails at the last kept draw)" calibrate "$work/fails.cal" --out "$work/z" --iterations 20 $linear
    printf 'a ~ uniform(-3, -2)\nb ~ uniform(0, 1)\nerror y lognormal 0.5\n[experiment e]\ndata = neg.csv\n' >"$work/neg.cal"
    printf 'time,variable,value\n0,y,1\n1,y,2\n' >"$work/neg.csv"
    expect_refused "neg.csv:2: every kept draw has zero likelihood.*gives y = -.* at t = 0 (a lognormal" \
        calibrate "$work/neg.cal" --out "$work/z" --iterations 20 $linear
    [ -e "$work/z/chains.csv" ] && fail "chains of zero likelihood written"
    printf 'a ~ normal(0, 10)\nb ~ normal(0, 10)\nsig ~ uniform(-1, 0)\nerror y normal sig\n[experiment e]\ndata = lin.csv\n' >"$work/sd.cal"
    expect_refused "lin.csv:2: every kept draw has zero likelihood.*here the error sd sig = -.* (an sd must be > 0" \
        calibrate "$work/sd.cal" --out "$work/z" --iterations 20 $linear
    expect_refused "burn" calibrate "$work/lin.cal" --out "$work/o" --iterations 10 --burn 10 $linear
    expect_refused "--thin 8 keeps no draw of the 5 iterations" calibrate "$work/lin.cal" --out "$work/o" --iterations 10 --thin 8 $linear
    expect_refused "--chain" calibrate "$work/lin.cal" --out "$work/o" --chain 3 $linear
    # Whole numbers are read as written: -1 was 2^64 - 1 and 2^64 the same seed.
    for bad in "--seed -1" "--seed 18446744073709551616" "--burn -1" "--iterations 0"; do
        expect_refused "${bad%% *}: expected a whole number from" calibrate "$work/lin.cal" --out "$work/o" $bad $linear
    done
    expect_refused "option --seed does not apply to 'run'" run --seed 3 $linear
    expect_refused "a folder, not a calibration file" calibrate "$work" --out "$work/o" $linear
    # Too few kept draws for R-hat: said, not reported as converged.
    "$orvo" calibrate "$work/lin.cal" --out "$work/few" --iterations 10 --thin 5 $linear 2>"$work/err" || fail "short run"
    grep -q "1 kept draw(s) per chain" "$work/err" && grep -q "largest R-hat nan" "$work/err" \
        || fail "R-hat of one draw per chain: $(cat "$work/err")"
    # Model names in any case: the data's Y meets the error model of y, and the plot shows its points.
    printf 'time,variable,value\n0,Y,1.1\n1,Y,2.9\n2,Y,5.2\n' >"$work/upper.csv"
    sed 's/lin.csv/upper.csv/' "$work/lin.cal" >"$work/upper.cal"
    "$orvo" calibrate "$work/upper.cal" --out "$work/upper" --iterations 40 --chains 2 $linear 2>"$work/err" \
        || fail "data naming Y: $(cat "$work/err")"
    [ "$(grep -c '<circle' "$work/upper/predictions.svg")" -eq 3 ] || fail "predictions.svg lost the points of Y"
    # y = a + b t, normal errors of sd 0.5, normal(0, 10) priors: the posterior
    # is normal with means 1.03944, 1.99002 and sds 0.386976, 0.158015.
    "$orvo" calibrate "$work/lin.cal" --out "$work/lin" --iterations 5000 --thin 2 --chains 4 --jobs 2 --seed 5 \
        $linear 2>"$work/err" || fail "linear calibration: $(cat "$work/err")"
    # Slopes below 0 make the run fail: counted as zero likelihood, not an error.
    grep -q "failed runs [1-9]" "$work/err" || fail "failed runs not counted: $(cat "$work/err")"
    awk -F, 'NR == 2 { m = 1.03944; s = 0.386976 } NR == 3 { m = 1.99002; s = 0.158015 }
             NR > 1 { e = 4 * s / sqrt($8); d = $2 - m; if (d < 0) d = -d; r = $3 / s - 1; if (r < 0) r = -r
                      if (d > e || r > 0.1 || $7 >= 1.01 || $8 < 300) { print "bad row " $0; exit 1 } n++ }
             END { if (n != 2) { print n " parameters"; exit 1 } }' "$work/lin/summary.csv" || fail "posterior off the analytic one"
    [ "$(data_rows "$work/lin/chains.csv")" -eq 5000 ] || fail "chains.csv: expected 4 x 1250 kept draws"
    head -1 "$work/lin/chains.csv" | grep -q '^chain,iteration,a,b,log_prior,log_likelihood$' || fail "chains.csv header"
    [ "$(data_rows "$work/lin/predictions.csv")" -eq 5 ] || fail "predictions.csv rows"
    # The same seed on one worker gives the same chains.
    "$orvo" calibrate "$work/lin.cal" --out "$work/lin1" --iterations 5000 --thin 2 --chains 4 --jobs 1 --seed 5 \
        $linear 2>/dev/null || fail "one-worker calibration"
    cmp -s "$work/lin/chains.csv" "$work/lin1/chains.csv" || fail "chains depend on the number of workers"
    # Outputs beside the chains: the plot (a panel with the data points) and
    # the draws, which orvo batch --params runs as they are.
    grep -q '<circle' "$work/lin/predictions.svg" || fail "predictions.svg shows no data"
    grep -q 'e: y: data, posterior median and 95 % band' "$work/lin/predictions.svg" || fail "predictions.svg panel title"
    head -1 "$work/lin/draws.csv" | grep -q '^a,b$' || fail "draws.csv header: $(head -1 "$work/lin/draws.csv")"
    [ "$(data_rows "$work/lin/draws.csv")" -eq 5000 ] || fail "draws.csv: expected one row per kept draw"
    "$orvo" batch --params "$work/lin/draws.csv" --vars y --at 2 --jobs 2 --out "$work/post" $linear 2>"$work/err" \
        || fail "batch --params draws.csv: $(cat "$work/err")"
    [ "$(data_rows "$work/post/runs.csv")" -eq 5000 ] || fail "batch did not run every draw"
    # --continue: 1230 iterations continued by 1770 are the 3000 of one run.
    common="--burn 500 --thin 3 --chains 3 --seed 9 $linear"
    "$orvo" calibrate "$work/lin.cal" --out "$work/whole" --iterations 3000 --jobs 2 $common 2>/dev/null || fail "whole run"
    "$orvo" calibrate "$work/lin.cal" --out "$work/part" --iterations 1230 --jobs 2 $common 2>/dev/null || fail "first part"
    "$orvo" calibrate "$work/lin.cal" --continue "$work/part" --iterations 1770 --jobs 1 $linear 2>"$work/err" \
        || fail "continued run: $(cat "$work/err")"
    grep -q 'chain 3: 3000/3000' "$work/err" || fail "continued progress: $(cat "$work/err")"
    for f in chains.csv summary.csv predictions.csv draws.csv predictions.svg; do
        cmp -s "$work/whole/$f" "$work/part/$f" || fail "continued $f differs from one run of the total length"
    done
    expect_refused "--seed 4 differs from the 9" calibrate "$work/lin.cal" --continue "$work/part" --seed 4 $linear
    expect_refused "no finished calibration there" calibrate "$work/lin.cal" --continue "$work/nothing" $linear
    sed 's/normal(0, 10)$/normal(0, 20)/' "$work/lin.cal" >"$work/lin2.cal"
    expect_refused "differ from those of that run" calibrate "$work/lin2.cal" --continue "$work/part" $linear
    expect_refused "--out DIR is required" calibrate "$work/lin.cal" $linear
    cmp -s "$work/whole/chains.csv" "$work/part/chains.csv" || fail "a refused continuation changed the chains"
    # Recovery: oral_absorption data at ka 1.5, ke 0.2, vd 30 with 10 % lognormal
    # noise (standard normal scores drawn once with a fixed seed, listed here so
    # that every awk gives the same data).
    oral="$orvo run --lib $lib/liborvo_oral_absorption.so --set nstp=10 --vars t,conc"
    $oral >"$work/truth.csv" 2>"$work/err" || fail "oral run: $(cat "$work/err")"
    awk -F, 'BEGIN { split("-1.224 0.378 0.995 -0.513 -1.329 -0.066 0.478 1.098 -1.216", z, " "); print "time,variable,value" }
             NR > 1 && ($1 == 1.5 || $1 == 2 || $1 == 3 || $1 == 4 || $1 == 6 || $1 == 8 || $1 == 12 || $1 == 16 || $1 == 24) {
                 print $1 ",conc," $2 * exp(0.1 * z[++k]) }' "$work/truth.csv" >"$work/oral.csv"
    printf 'ka ~ lognormal(1, 3) [0.05, 20]\nke ~ lognormal(0.3, 3) [0.01, 5]\nvd ~ lognormal(20, 3) [1, 500]\nnstp = 10\nerror conc lognormal 0.1\n[experiment single]\ndata = oral.csv\n' >"$work/oral.cal"
    "$orvo" calibrate "$work/oral.cal" --out "$work/oral" --iterations 1500 --chains 3 --jobs 2 \
        --lib "$lib/liborvo_oral_absorption.so" 2>"$work/err" || fail "oral calibration: $(cat "$work/err")"
    awk -F, 'NR == 2 { v = 1.5 } NR == 3 { v = 0.2 } NR == 4 { v = 30 }
             NR > 1 { if (!($4 <= v && v <= $6)) { print $1 ": " v " outside [" $4 ", " $6 "]"; exit 1 } }' \
        "$work/oral/summary.csv" || fail "95 % intervals miss the truth: $(cat "$work/oral/summary.csv")"
    # Experiments share one model instance: neither a setting of e1 nor a
    # constant set by a dose record of e2 may reach the other's runs.
    printf 'time,target,value\n10,vd,90\n' >"$work/vd.csv"
    printf 'ka ~ uniform(1.5, 1.500001)\nnstp = 10\nerror conc lognormal 0.1\n[experiment e1]\ndata = oral.csv\ndose = 200\n[experiment e2]\ndata = oral.csv\ndoses = vd.csv\n' >"$work/two.cal"
    "$orvo" calibrate "$work/two.cal" --out "$work/two" --iterations 50 --chains 1 \
        --lib "$lib/liborvo_oral_absorption.so" 2>"$work/err" || fail "two experiments: $(cat "$work/err")"
    awk -F, 'NR == FNR { want[$1] = $2; next }
             ($1 == "e1" || $1 == "e2") && ($2 == 2 || $2 == 4 || $2 == 8) {
                 r = $5 / (($1 == "e1" ? 2 : 1) * want[$2]); n++
                 if (r > 1 + 1e-4 || r < 1 - 1e-4) { print "ratio " r ": " $0; exit 1 } }
             END { if (n != 6) { print n " rows"; exit 1 } }' "$work/truth.csv" "$work/two/predictions.csv" \
        || fail "one experiment's settings or doses reached another"
    # A dose record whose amount names a calibrated parameter gives each run its value.
    printf 'time,target,amount\n1.25,agut,dose\n' >"$work/named.csv"
    printf 'dose ~ uniform(150, 150.0001)\ntdose = 100\nnstp = 10\nerror conc lognormal 0.1\n[experiment e]\ndata = oral.csv\ndoses = named.csv\n' >"$work/named.cal"
    "$orvo" calibrate "$work/named.cal" --out "$work/named" --iterations 50 --chains 1 \
        --lib "$lib/liborvo_oral_absorption.so" 2>"$work/err" || fail "named dose: $(cat "$work/err")"
    awk -F, 'NR == FNR { want[$1] = $2; next }
             $1 == "e" && ($2 == 2 || $2 == 4 || $2 == 8) { r = $5 / (1.5 * want[$2]); n++
                 if (r > 1 + 1e-4 || r < 1 - 1e-4) { print "ratio " r ": " $0; exit 1 } }
             END { if (n != 3) { print n " rows"; exit 1 } }' "$work/truth.csv" "$work/named/predictions.csv" \
        || fail "a dose naming a calibrated parameter did not take its value"
    # Array elements are observed as NAME(i); the whole array was read as its first element.
    transit="--lib $lib/liborvo_transit.so"
    printf 'time,variable,value\n1.5,transit(3),18.4\n3.5,transit(3),8.4\n5.5,Transit(3),0.5\n3.5,transit(1),0.67\n' >"$work/transit.csv"
    printf 'ktr ~ lognormal(1, 2) [0.1, 10]\nerror transit(3) normal 0.5\nerror transit(1) normal 0.5\n[experiment e]\ndata = transit.csv\n' >"$work/transit.cal"
    "$orvo" calibrate "$work/transit.cal" --out "$work/transit" --iterations 400 --chains 2 $transit 2>"$work/err" \
        || fail "calibration on array elements: $(cat "$work/err")"
    # The data are the model's at its own ktr = 2.
    awk -F, '$1 == "ktr" { n++; if ($2 < 1.9 || $2 > 2.1) exit 1 } END { exit n != 1 }' "$work/transit/summary.csv" \
        || fail "ktr from transit(1) and transit(3): $(cat "$work/transit/summary.csv")"
    grep -q 'e: transit(3): data' "$work/transit/predictions.svg" || fail "the plot's panel of transit(3)"
    sed 's/[Tt]ransit(3)/transit/' "$work/transit.csv" >"$work/whole.csv"
    sed 's/^error transit(3)/error transit/; s/transit.csv/whole.csv/' "$work/transit.cal" >"$work/whole.cal"
    expect_refused "whole.cal:2: 'transit' is an array of 5 elements: observe one element, e.g. transit(1)" \
        calibrate "$work/whole.cal" --out "$work/o" $transit
    # So is a calibrated constant: the refusal of a whole array names NAME(i) ~ ..., which was then
    # refused as no parameter name. clf_uim_t(5) is the clearance factor at an intake of 200.
    printf 'time,variable,value\n24,clf_uim,0.2\n' >"$work/clf.csv"
    printf 'clf_uim_t( 5 ) ~ uniform(0, 1)\npdoseug_i = 200\ntstop = 24\ncint = 24\nerror clf_uim normal 0.01\n[experiment e]\ndata = clf.csv\n' >"$work/clf.cal"
    "$orvo" calibrate "$work/clf.cal" --out "$work/clf" --iterations 300 --chains 2 2>"$work/err" \
        || fail "calibrating an array element: $(cat "$work/err")"
    awk -F, '$1 == "clf_uim_t(5)" { n++; if ($2 < 0.19 || $2 > 0.21) exit 1 } END { exit n != 1 }' "$work/clf/summary.csv" \
        || fail "clf_uim_t(5) from clf_uim: $(cat "$work/clf/summary.csv")"
    head -1 "$work/clf/draws.csv" | grep -q '^clf_uim_t(5)$' || fail "draws.csv header: $(head -1 "$work/clf/draws.csv")"
    ;;
calibrate-population)
    lib=$(dirname "$orvo")/../lib
    oral="$orvo run --lib $lib/liborvo_oral_absorption.so --set nstp=10 --vars t,conc"
    # Hierarchical recovery: 10 subjects share ka 1.5 and vd 30; their ke is
    # lognormal around 0.2 with geometric sd 1.3 (fixed scores); 10 % lognormal
    # noise from a fixed generator (Park-Miller, exact in any awk).
    scores="-1.1 0.4 0.9 -0.3 1.5 -0.7 0.1 -1.6 0.6 0.2"
    printf 'time,variable,value,sd,subject\n' >"$work/pop.csv"
    n=0
    for z in $scores; do
        n=$((n + 1))
        ke=$(awk -v z="$z" 'BEGIN { printf "%.6f", 0.2 * exp(z * log(1.3)) }')
        $oral --set ke="$ke" >"$work/subject.csv" 2>"$work/err" || fail "oral run ke=$ke: $(cat "$work/err")"
        awk -F, -v s="$n" 'BEGIN { x = 7919 * s }
            function u() { x = (x * 16807) % 2147483647; return x / 2147483647 }
            NR > 1 && ($1 == 1.5 || $1 == 2 || $1 == 3 || $1 == 4 || $1 == 6 || $1 == 8 || $1 == 12 || $1 == 16 || $1 == 24) {
                z = sqrt(-2 * log(u())) * cos(6.283185307179586 * u())
                print $1 ",conc," $2 * exp(0.1 * z) ",,s" s }' "$work/subject.csv" >>"$work/pop.csv"
    done
    printf 'ka ~ lognormal(1, 3) [0.05, 20]\nvd ~ lognormal(20, 3) [1, 500]\nke_gm ~ lognormal(0.3, 3) [0.01, 5]\nke_gsd ~ lognormal(1.5, 1.5) [1.01, 5]\nke[subject] ~ lognormal(ke_gm, ke_gsd) [0.01, 5]\nnstp = 2\nerror conc lognormal 0.1\n[experiment study]\ndata = pop.csv\n' >"$work/pop.cal"
    "$orvo" calibrate "$work/pop.cal" --out "$work/pop" --iterations 1500 --chains 2 --jobs 2 \
        --lib "$lib/liborvo_oral_absorption.so" 2>"$work/err" || fail "hierarchical calibration: $(cat "$work/err")"
    head -1 "$work/pop/chains.csv" | grep -q '^chain,iteration,ka,vd,ke_gm,ke_gsd,ke\[s1\],.*,ke\[s10\],log_prior' \
        || fail "hierarchical chains.csv header: $(head -1 "$work/pop/chains.csv")"
    awk -F, '$1 == "ka" { v = 1.5 } $1 == "vd" { v = 30 } $1 == "ke_gm" { v = 0.2 } $1 == "ke_gsd" { v = 1.3 }
             $1 ~ /^(ka|vd|ke_gm|ke_gsd)$/ { n++; if (!($4 <= v && v <= $6)) { print $1 ": " v " outside [" $4 ", " $6 "]"; exit 1 } }
             END { if (n != 4) { print n " population rows"; exit 1 } }' \
        "$work/pop/summary.csv" || fail "hierarchical intervals miss the truth: $(cat "$work/pop/summary.csv")"
    head -1 "$work/pop/draws.csv" | grep -q '^ka,vd,ke$' || fail "hierarchical draws.csv header: $(head -1 "$work/pop/draws.csv")"
    cut -d, -f1-3 "$work/pop.csv" >"$work/nosub.csv"
    sed 's/pop.csv/nosub.csv/' "$work/pop.cal" >"$work/nosubject.cal"
    expect_refused "nosub.csv:2: no subject, but ke varies" calibrate "$work/nosubject.cal" --out "$work/o" \
        --lib "$lib/liborvo_oral_absorption.so" --iterations 10
    ;;
build)
    # Building a model written here: what the command itself refuses, a
    # byte-order mark some editors write, and an edit that breaks the model.
    mkdir -p "$work/folder.model"
    "$orvo" build "$work/folder.model" --out "$work/lib" 2>"$work/err" && fail "a folder was built"
    grep -q 'folder.model:1:1: cannot read the description: it is a folder' "$work/err" ||
        fail "folder as description: $(cat "$work/err")"
    sed 's#^cxx = .*#cxx = /nonexistent/g++#' "$(dirname "$orvo")/../lib/orvo/build.conf" >"$work/nocxx.conf"
    printf '\357\273\277model decay;\nstates { x = 1; }\nconstants { k = 0.5; }\nderivative { dt(x) = -k * x; }\n'\
'settings { cint = 1; rtol = 1e-9; atol = 1e-9; }\nterminate when t >= 2;\n' >"$work/decay.model"
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work/nocxx.conf" 2>"$work/err" &&
        fail "built without a compiler"
    grep -q "'/nonexistent/g++' is missing: install Debian's g++ package" "$work/err" || fail "no compiler: $(cat "$work/err")"
    "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" || fail "build with a byte-order mark: $(cat "$work/err")"
    # Scratch files go where TMPDIR says, and are gone after the build.
    mkdir "$work/tmp"
    TMPDIR="$work/tmp/" "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" ||
        fail "build with TMPDIR: $(cat "$work/err")"
    [ -z "$(ls -A "$work/tmp")" ] || fail "scratch files left in TMPDIR: $(ls -A "$work/tmp")"
    # A build killed outright leaves its scratch folder: the next build on
    # this host removes it once its process is gone, and leaves a live one's.
    sh -c 'exit 0' & dead=$!
    wait $dead
    host=$(uname -n)
    mkdir -p "$work/tmp/orvo-build-$host-$dead-Ab12Cd/generated" "$work/tmp/orvo-build-$host-$$-Ef34Gh" \
        "$work/tmp/orvo-build-other-host-$dead-Ij56Kl"
    TMPDIR="$work/tmp" "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" ||
        fail "build beside abandoned scratch folders: $(cat "$work/err")"
    [ "$(ls "$work/tmp" | sort | paste -sd' ' -)" = \
      "$(printf '%s\n' "orvo-build-$host-$$-Ef34Gh" "orvo-build-other-host-$dead-Ij56Kl" | sort | paste -sd' ' -)" ] ||
        fail "scratch folders after a build: $(ls "$work/tmp")"
    rm -rf "$work/tmp"/*
    TMPDIR="$work/no-tmp" "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" &&
        fail "built with a TMPDIR that does not exist"
    grep -q "cannot create a scratch folder in '$work/no-tmp' (TMPDIR): No such file or directory" "$work/err" ||
        fail "missing TMPDIR: $(cat "$work/err")"
    # A comment may follow the keyword directly, as the generator reads it.
    sed '1s/model decay;/model\/* named *\/decay;/' "$work/decay.model" >"$work/comment.model"
    "$orvo" build "$work/comment.model" --out "$work/lib" 2>"$work/err" || fail "model/* */NAME: $(cat "$work/err")"
    # A description from a pipe, which can be read only once.
    cat "$work/comment.model" | "$orvo" build /dev/stdin --out "$work/piped" 2>"$work/err" ||
        fail "description from a pipe: $(cat "$work/err")"
    [ -e "$work/piped/liborvo_decay.so" ] || fail "no library from a pipe"
    printf 'model decay;\nstates { x = 1 }\n' | "$orvo" build /dev/stdin --out "$work/piped" 2>"$work/err" &&
        fail "a faulty description from a pipe built"
    grep -q '^/dev/stdin:2:16: expected' "$work/err" || fail "faulty description from a pipe: $(cat "$work/err")"
    # Saved as UTF-16 (with its byte-order mark), as some editors do.
    printf '\377\376m\000o\000d\000e\000l\000 \000d\000;\000\n\000' >"$work/utf16.model"
    "$orvo" build "$work/utf16.model" --out "$work/lib" 2>"$work/err" && fail "a UTF-16 description built"
    grep -q "utf16.model:1:1: cannot read the description: it is UTF-16 text; save it as UTF-8" "$work/err" ||
        fail "UTF-16: $(cat "$work/err")"
    printf 'modelling decay;\n' >"$work/word.model"
    "$orvo" build "$work/word.model" --out "$work/lib" 2>"$work/err" && fail "modelling built"
    grep -q "word.model:1:1: a description starts with 'model NAME;'" "$work/err" || fail "modelling: $(cat "$work/err")"
    "$orvo" run --lib "$work/lib/liborvo_decay.so" --vars t,x >"$work/decay.csv" || fail "run decay"
    awk -F, 'NR > 1 { d = $2 - exp(-0.5 * $1); if (d < -1e-6 || d > 1e-6) bad = 1; n++ } END { exit bad || n != 3 }' \
        "$work/decay.csv" || fail "decay numbers: $(cat "$work/decay.csv")"
    printf 'model decay;\nstates { x = 1 }\n' >"$work/decay.model"
    "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" && fail "a faulty edit built"
    grep -q 'decay.model:2:16: expected' "$work/err" || fail "faulty edit: $(cat "$work/err")"
    [ ! -e "$work/lib/liborvo_decay.so" ] && [ ! -e "$work/lib/liborvo_decay.json" ] || fail "the earlier library is left"
    # "--" ends the options: a file whose name starts with '-' is built, and an
    # option after it is an argument like any other.
    cp "$work/comment.model" "$work/-dash.model"
    (cd "$work" && "$orvo" build --out dashed -- -dash.model) 2>"$work/err" || fail "build -- -dash.model: $(cat "$work/err")"
    [ -e "$work/dashed/liborvo_decay.so" ] || fail "no library for -dash.model"
    "$orvo" run -- --vars t 2>"$work/err" && fail "run took an option after --"
    grep -q "unexpected argument '--vars'" "$work/err" || fail "option after --: $(cat "$work/err")"
    # Two builds of one model name into one folder at once leave a library with
    # its own metadata beside it, whichever finishes last, and no staged files.
    for c in kay queue; do
        printf 'model twin;\nstates { x = 1; }\nconstants { %s = 0.5; }\nderivative { dt(x) = -%s * x; }\nterminate when t >= 1;\n' \
            "$c" "$c" >"$work/twin-$c.model"
    done
    for round in 1 2; do
        "$orvo" build "$work/twin-kay.model" --out "$work/twins" 2>"$work/err-kay" &
        kay=$!
        "$orvo" build "$work/twin-queue.model" --out "$work/twins" 2>"$work/err-queue" || fail "twin queue: $(cat "$work/err-queue")"
        wait "$kay" || fail "twin kay: $(cat "$work/err-kay")"
        in_library=$("$orvo" list --lib "$work/twins/liborvo_twin.so" | grep -ow 'kay\|queue' | head -1)
        in_metadata=$(grep -ow '"kay"\|"queue"' "$work/twins/liborvo_twin.json" | head -1 | tr -d '"')
        [ -n "$in_library" ] && [ "$in_library" = "$in_metadata" ] ||
            fail "round $round: library of '$in_library' beside metadata of '$in_metadata'"
    done
    ! ls "$work/twins" | grep -q tmp || fail "staged files left: $(ls "$work/twins")"
    # The model's name is the generated code's namespace: one the C library has is named as the fault.
    printf 'model time;\nstates { x = 1; }\nderivative { dt(x) = -x; }\nterminate when t >= 1;\n' >"$work/time.model"
    "$orvo" build "$work/time.model" --out "$work/lib" 2>"$work/err" && fail "model time built"
    grep -q "time.model:1:7: the model's name 'time' is also a name of the C library" "$work/err" ||
        fail "model time: $(head -3 "$work/err")"
    ;;
build-settings)
    # Build settings written by hand: what they may say and what is refused
    # before anything is built.
    conf="$(dirname "$orvo")/../lib/orvo/build.conf"
    printf 'model decay;\nstates { x = 1; }\nconstants { k = 0.5; }\nderivative { dt(x) = -k * x; }\nterminate when t >= 2;\n' \
        >"$work/decay.model"
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work" 2>"$work/err" && fail "built with a folder as settings"
    grep -q "cannot read the build settings '$work': it is a folder" "$work/err" || fail "folder as settings: $(cat "$work/err")"
    # A misspelt key is named with its line, not skipped.
    { cat "$conf"; echo 'cxxflag = -O0'; } >"$work/typo.conf"
    line=$(wc -l <"$work/typo.conf" | tr -d ' ')
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work/typo.conf" 2>"$work/err" &&
        fail "built with an unknown setting"
    grep -q "typo.conf:$line: unknown build setting 'cxxflag'" "$work/err" || fail "unknown setting: $(cat "$work/err")"
    { echo 'cxx /usr/bin/c++'; cat "$conf"; } >"$work/noequals.conf"
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work/noequals.conf" 2>"$work/err" &&
        fail "built with a line that is not KEY = VALUE"
    grep -q "noequals.conf:1: expected KEY = VALUE" "$work/err" || fail "line without '=': $(cat "$work/err")"
    # A python that is missing is python3's to install, whatever its file is called.
    sed 's#^python = .*#python = /nonexistent/py#' "$conf" >"$work/nopython.conf"
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work/nopython.conf" 2>"$work/err" &&
        fail "built without python"
    grep -q "'/nonexistent/py' is missing: install Debian's python3 package" "$work/err" ||
        fail "no python: $(cat "$work/err")"
    # Programs named without a folder are found on PATH; a folder whose name has a
    # comma and a '#' holds the export map (neither splits nor ends the path).
    mkdir -p "$work/maps,1#2"
    cp "$(sed -n 's/^export_map = //p' "$conf")" "$work/maps,1#2/orvo.map"
    sed -e 's#^cxx = .*#cxx = c++#' -e 's#^python = .*#python = python3#' \
        -e "s#^export_map = .*#export_map = $work/maps,1\#2/orvo.map  \# copied#" "$conf" >"$work/names.conf"
    "$orvo" build "$work/decay.model" --out "$work/lib" --settings "$work/names.conf" 2>"$work/err" ||
        fail "build with programs on PATH: $(cat "$work/err")"
    "$orvo" run --lib "$work/lib/liborvo_decay.so" --vars t,x >"$work/decay.csv" 2>"$work/err" || fail "run: $(cat "$work/err")"
    # An output folder that cannot be made is named before anything is compiled.
    : >"$work/afile"
    "$orvo" build "$work/decay.model" --out "$work/afile/lib" --verbose 2>"$work/err" && fail "built into a file"
    grep -q "cannot create the folder '$work/afile/lib'" "$work/err" || fail "folder under a file: $(cat "$work/err")"
    ! grep -q -- ' -c ' "$work/err" || fail "compiled before finding the folder unusable"
    # So is a folder the user cannot write, such as a read-only model folder built in place.
    if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && setpriv --reuid=nobody --regid=nogroup --clear-groups true; then
        mkdir -p "$work/readonly" && cp "$work/decay.model" "$work/readonly/" && chmod 555 "$work/readonly"
        (cd "$work/readonly" && setpriv --reuid=nobody --regid=nogroup --clear-groups "$orvo" build decay.model --verbose) \
            2>"$work/err" && fail "built into a read-only folder"
        grep -q "cannot write into '$work/readonly': Permission denied" "$work/err" || fail "read-only folder: $(cat "$work/err")"
        ! grep -q -- ' -c ' "$work/err" || fail "compiled before finding the folder read-only"
    fi
    ;;
build-interrupt)
    # A build stopped by a signal stops its compiler, removes its scratch
    # folder and leaves no library; the process ends by that signal.
    printf 'model decay;\nstates { x = 1; }\nconstants { k = 0.5; }\nderivative { dt(x) = -k * x; }\nterminate when t >= 2;\n' \
        >"$work/decay.model"
    for signal in TERM:15 HUP:1; do
        number=${signal#*:}
        signal=${signal%:*}
        "$orvo" build "$work/decay.model" --out "$work/lib" 2>"$work/err" &
        pid=$!
        scratch=
        for _ in $(seq 1 600); do
            for child in $(pgrep -P "$pid"); do
                tr '\0' '\n' <"/proc/$child/cmdline" >"$work/args" 2>/dev/null || continue
                # A compiler's: ... -c /tmp/orvo-build-XXXXXX/generated/...
                grep -qx -- -c "$work/args" && scratch=$(grep -m1 -o '^/tmp/orvo-build-[^/]*' "$work/args") &&
                    [ -n "$scratch" ] && break 2
                scratch=
            done
            sleep 0.05
        done
        [ -n "$scratch" ] || { kill "$pid" 2>/dev/null; fail "no compiler seen"; }
        expect_ended_by "$signal" "$number" "$pid"
        for _ in $(seq 1 100); do [ -e "$scratch" ] || break; sleep 0.05; done
        [ ! -e "$scratch" ] || fail "SIG$signal left $scratch"
        # Nor is the compiler (the driver and what it started) left running.
        for _ in $(seq 1 20); do pgrep -f "$scratch" >/dev/null || break; sleep 0.05; done
        ! pgrep -f "$scratch" >/dev/null || fail "SIG$signal left running: $(pgrep -af "$scratch")"
        [ ! -e "$work/lib/liborvo_decay.so" ] || fail "SIG$signal left a library"
        ! ls "$work/lib" 2>/dev/null | grep -q tmp || fail "SIG$signal left $(ls "$work/lib")"
    done
    ;;
batch-interrupt)
    # A batch or shard ended by a signal leaves no temporary table or part
    # and ends by that signal; a worker ended by one leaves its parent's alone.
    pop="$source_dir/models/pregnancy/scenarios/population.scenario"
    for signal in TERM:15 HUP:1; do
        number=${signal#*:}
        signal=${signal%:*}
        shard=
        [ "$signal" = HUP ] && shard="--shard 0/2"
        "$orvo" batch --scenario "$pop" --set runs=1000000 --set tstop=240 --at 240 --jobs 2 $shard \
            --out "$work/$signal" 2>"$work/err" &
        pid=$!
        temporary=
        for _ in $(seq 1 600); do
            temporary=$(ls "$work/$signal"/*.tmp.* 2>/dev/null | head -n 1)
            [ -n "$temporary" ] && [ -n "$(pgrep -P "$pid")" ] && break
            temporary=
            sleep 0.05
        done
        [ -n "$temporary" ] || { kill "$pid" 2>/dev/null; fail "SIG$signal: no temporary file seen"; }
        worker=$(pgrep -P "$pid" | head -n 1)
        kill -s "$signal" "$worker"
        for _ in $(seq 1 100); do [ -e "/proc/$worker" ] || break; sleep 0.05; done
        sleep 0.2
        [ -e "$temporary" ] || { kill "$pid" 2>/dev/null; fail "SIG$signal to a worker removed its parent's $temporary"; }
        expect_ended_by "$signal" "$number" "$pid"
        [ -z "$(ls "$work/$signal")" ] || fail "SIG$signal left $(ls "$work/$signal")"
    done
    ;;
submit-slurm)
    # The Slurm submission with a stand-in sbatch that records its arguments
    # (one file a call) and the array script run outside Slurm, in a folder
    # whose name holds a quote, spaces and a %.
    mkdir -p "$work/bin" "$work/calls"
    printf '#!/bin/sh\nn=$(ls "%s" | wc -l)\nfor a in "$@"; do printf "%%s\\n" "$a"; done >"%s/$n"\necho "$((n + 100));cluster"\n' \
        "$work/calls" "$work/calls" >"$work/bin/sbatch"
    chmod +x "$work/bin/sbatch"
    submit="$source_dir/scripts/orvo-submit-slurm"
    dir="$work/it's a 100%x folder"
    mkdir -p "$dir"
    printf 'runs = 5\nseed = 3\ncint = 24\ntstop = 48\nbw_m ~ normal(70, 5)\n' >"$dir/p.scenario"
    # A shard count with a leading zero is the decimal count.
    # --batch-options split as a shell splits it: a quoted name with blanks is one word.
    PATH="$work/bin:$PATH" bash "$submit" --orvo "$orvo" --scenario "$dir/p.scenario" --shards 02 --out "$dir/out" \
        --batch-options "--vars 'ca_mi' --at 24" --partition=short >"$work/out" 2>"$work/err" || fail "submit: $(cat "$work/err")"
    grep -qx -- '--array=0-1' "$work/calls/0" && grep -q -- '--export=.*,ORVO_SHARDS=2$' "$work/calls/0" ||
        fail "array call: $(cat "$work/calls/0")"
    [ "$(tail -n 4 "$work/calls/0" | paste -sd'|' -)" = "--vars|ca_mi|--at|24" ] ||
        fail "batch options of the array call: $(tail -n 4 "$work/calls/0")"
    mkdir -p "$work/calls-quoted"
    sed "s#$work/calls#$work/calls-quoted#g" "$work/bin/sbatch" >"$work/sbatch-quoted" && chmod +x "$work/sbatch-quoted"
    mkdir -p "$work/bin-quoted" && cp "$work/sbatch-quoted" "$work/bin-quoted/sbatch"
    PATH="$work/bin-quoted:$PATH" bash "$submit" --orvo "$orvo" --scenario "$dir/p.scenario" --shards 2 \
        --out "$work/quoted" --batch-options "--doses '$work/my doses.csv' --at \"24\"" >/dev/null 2>"$work/err" ||
        fail "submit with a quoted batch option: $(cat "$work/err")"
    [ "$(tail -n 4 "$work/calls-quoted/0" | paste -sd'|' -)" = "--doses|$work/my doses.csv|--at|24" ] ||
        fail "quoted batch options: $(tail -n 4 "$work/calls-quoted/0")"
    # sbatch reads % in --output as a pattern: the folder's own is doubled.
    grep -qxF -- "--output=$work/it's a 100%%x folder/out/logs/%x-%A_%a.out" "$work/calls/0" ||
        fail "array log path: $(grep -- --output "$work/calls/0")"
    for k in 0 1; do
        (unset SLURM_ARRAY_TASK_ID; ORVO="$orvo" SCENARIO="$dir/p.scenario" OUT="$dir/out" ORVO_SHARD=$k ORVO_SHARDS=2 \
            bash "$source_dir/examples/population-array.slurm" --vars ca_mi --at 24 >"$work/task" 2>&1) ||
            fail "array task $k: $(cat "$work/task")"
    done
    # The merge job's command, as sh runs it, gives the unsharded tables.
    wrap=$(sed -n 's/^--wrap=//p' "$work/calls/1")
    sh -c "$wrap" 2>"$work/err" || fail "merge job '$wrap': $(cat "$work/err")"
    "$orvo" batch --scenario "$dir/p.scenario" --vars ca_mi --at 24 --out "$work/whole" 2>/dev/null || fail "unsharded"
    for table in runs.csv summary.csv; do
        cmp -s "$work/whole/$table" "$dir/out/$table" || fail "merged $table differs from the unsharded run"
    done
    grep -qF "then merge again: $wrap" "$work/out" || fail "printed merge command: $(cat "$work/out")"
    # The printed resubmission, run as printed for shard 1, repeats the array job's call for that shard.
    resubmit=$(sed -n 's/^resubmit shard K alone: //p' "$work/out" | sed 's/ --array=K / --array=1 /')
    (PATH="$work/bin:$PATH" && eval "$resubmit") >/dev/null || fail "resubmit: $resubmit"
    sed 's/^--array=.*/--array=1/' "$work/calls/0" | grep -v '^--parsable$' >"$work/expected"
    cmp -s "$work/expected" "$work/calls/2" || fail "resubmission $(cat "$work/calls/2") is not the array job's $(cat "$work/calls/0")"
    # Bad command lines: exit 2 and a message; no sbatch: exit 1, nothing created.
    for bad in "--scenario:needs a value" "--shards:needs a value" "--shards 00:from 1 to" "--shards 1e3:from 1 to" \
               "--out:needs a value" "--batch-options --at='24:a quote is not closed"; do
        status=0
        PATH="$work/bin:$PATH" bash "$submit" --orvo "$orvo" --scenario "$dir/p.scenario" --out "$work/never" \
            --shards 2 ${bad%%:*} >/dev/null 2>"$work/err" || status=$?
        [ "$status" -eq 2 ] && grep -q "orvo-submit-slurm: .*${bad#*:}" "$work/err" || fail "'${bad%%:*}': $status $(cat "$work/err")"
    done
    bash "$submit" --help >"$work/help" && grep -q '^Exit status' "$work/help" && ! grep -q 'set -' "$work/help" ||
        fail "--help: $(cat "$work/help")"
    mkdir -p "$work/nosbatch"
    for tool in dirname basename sed mkdir; do ln -s "$(command -v $tool)" "$work/nosbatch/$tool"; done
    status=0
    PATH="$work/nosbatch" "$(command -v bash)" "$submit" --orvo "$orvo" --scenario "$dir/p.scenario" --shards 2 \
        --out "$work/never" 2>"$work/err" || status=$?
    [ "$status" -eq 1 ] && grep -q "orvo-submit-slurm: sbatch not found" "$work/err" || fail "no sbatch: $status $(cat "$work/err")"
    [ ! -e "$work/never" ] || fail "a refused submission created its folder"
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
