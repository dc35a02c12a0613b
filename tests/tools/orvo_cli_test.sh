#!/bin/sh
# Command-line checks of the orvo host against the real model library.
# usage: orvo_cli_test.sh ORVO CASE SOURCE_DIR   (run in a scratch directory)
orvo=$1
case_name=$2
source_dir=$3
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

# data_rows FILE: CSV rows after the header.
data_rows() { tail -n +2 "$1" | wc -l | tr -d ' '; }

case $case_name in
list)
    "$orvo" list >"$work/list" || fail "list exited with $?"
    rows=$(grep -c '^ *[0-9][0-9]* ' "$work/list")
    [ "$rows" -eq 537 ] || fail "list printed $rows rows, expected 537"
    grep -q '^ *1  *t  *independent  *double  *scalar *$' "$work/list" || fail "row 1 is not t"
    grep -q '^ *489  *clf_uim_t  *variable  *double  *16  *yes$' "$work/list" || fail "table array row"
    grep -q '^537  *zzticg  *start-value  *double  *scalar  *yes$' "$work/list" || fail "row 537 is not zzticg"
    "$orvo" list --lib "$work/missing.so" 2>"$work/err" && fail "a missing library was accepted"
    grep -q 'missing.so' "$work/err" || fail "no message naming the missing library"
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
    expect_refused "clf_uim_t" run --set clf_uim_t=1,2
    expect_refused "z99999" run --set z99999=1
    expect_refused "zzstopflag" run --set zzstopflag=1
    expect_refused "ca_mi" run --set ca_mi=1
    expect_refused "NAME=VALUE" run --set bw_m
    # Well-formed values of every kind are taken (a run that ends at once).
    "$orvo" run --set tstop=0 --set ialg=+5 --set wesitg=TRUE --set bw_m=65.5 \
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
    printf 'tstop = 0   # end at once\nbw_m = 60\n' >"$work/s.scenario"
    "$orvo" run --scenario "$work/s.scenario" --set bw_m=70 --vars t --summary --out "$work/s.csv" \
        >"$work/summary" 2>"$work/err" || fail "scenario run failed: $(cat "$work/err")"
    grep -q 'bw_m = 70  (--set)' "$work/summary" || fail "--set did not override: $(cat "$work/summary")"
    grep -q 'tstop = 0  (.*s.scenario:1)' "$work/summary" || fail "scenario origin missing"
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
    ;;
failing-run)
    # No maternal body weight left beside the fetus: every concentration divides by zero.
    "$orvo" run --set pdoseug_i=200 --set bw_f=72.3 --set tstop=96 --set cint=24 --out "$work/f.csv" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "a failing run exited with $status"
    grep -q 'error state' "$work/err" || fail "no message about the error state: $(cat "$work/err")"
    # RK4 far outside its stability limit: finite nonsense by 48 h is flagged
    # by the balance, the overflow by 96 h ends the run naming where.
    "$orvo" run --set ialg=5 --set pdoseug_i=200 --set tstop=48 --set cint=24 --summary \
        --out "$work/rk4.csv" >"$work/summary" 2>"$work/err" || fail "the 48 h RK4 run exited with $?"
    grep -q 'WARNING: the iodide balance is off by' "$work/summary" || fail "no balance warning: $(cat "$work/summary")"
    "$orvo" run --set ialg=5 --set pdoseug_i=200 --set tstop=96 --set cint=24 --out "$work/rk4.csv" 2>"$work/err"
    status=$?
    [ "$status" -eq 1 ] || fail "the runaway RK4 run exited with $status"
    grep -q 'Run ended by an error: .* became infinite at t = ' "$work/err" || fail "runaway not named: $(cat "$work/err")"
    if [ -w /dev/full ]; then
        "$orvo" run --set tstop=48 --set cint=24 --out /dev/full 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] || fail "a failed write exited with $status"
        grep -q "writing '/dev/full' failed" "$work/err" || fail "no message about the failed write"
    fi
    ;;
example-scenario)
    "$orvo" run --scenario "$source_dir/scenarios/example.scenario" --out "$work/example.csv" --summary \
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
*)
    fail "unknown case"
    ;;
esac
exit 0
