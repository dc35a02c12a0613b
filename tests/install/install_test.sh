#!/bin/sh
# usage: install_test.sh BUILD_DIR CMAKE SCRATCH SOURCE_DIR
# Installs BUILD_DIR into a prefix under SCRATCH, then, from SCRATCH/outside with a
# bare environment, builds the shipped oral model and a model written here
# with the installed orvo build, runs both and checks their numbers, and
# builds a model through find_package(orvo) in a project of its own.
build=$1
cmake=$2
scratch=$3
source=$4
[ -n "$build" ] && [ -n "$cmake" ] && [ -n "$scratch" ] && [ -n "$source" ] ||
    { echo "usage: $0 BUILD_DIR CMAKE SCRATCH SOURCE_DIR" >&2; exit 2; }
fail() { echo "FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)  # decay.model, the model written for these tests

rm -rf "$scratch" && mkdir -p "$scratch/outside" || exit 1
# A blank, a comma and a non-ASCII letter in the prefix: the paths built from it stay whole.
prefix="$scratch/pré fix,1"
# As the README says, make install PREFIX=P, of this build (which is up to date).
env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$source" -o release install RELEASE_DIR="$build" PREFIX="$prefix" \
    >"$scratch/install.log" 2>&1 || fail "install: $(tail -5 "$scratch/install.log")"
for f in bin/orvo include/orvo/orvo.h lib/orvo/liborvo_pregnancy.so lib/orvo/liborvo_oral_absorption.so \
         lib/orvo/liborvo_core.a lib/orvo/liborvo-recorder.so lib/orvo/build.conf lib/orvo/modelgen/orvo-modelgen lib/orvo/import/orvo-import lib/cmake/orvo/orvoConfig.cmake \
         share/orvo/models/oral_absorption/oral_absorption.model share/orvo/models/pregnancy/scenarios/example.scenario \
         lib/python3/dist-packages/orvo/__init__.py share/orvo/README.md share/orvo/python/README.md share/orvo/docs/model-language.md; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# Only the headers generated code needs, and none of the runtime's own.
[ ! -e "$prefix/lib/orvo/include/solver" ] || fail "runtime internals installed"

# A build tree the installing user cannot write (a read-only mount, another
# user's checkout) installs as built, nothing rebuilt.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    as_nobody() { env -i PATH=/usr/bin:/bin setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
    if ! as_nobody test -w "$build" && as_nobody test -r "$source/Makefile"; then
        mkdir -p "$scratch/readonly" && chown 65534:65534 "$scratch/readonly" || exit 1
        as_nobody make -C "$source" install RELEASE_DIR="$build" PREFIX="$scratch/readonly/p q" \
            >"$scratch/readonly.log" 2>&1 || fail "install from a read-only build: $(tail -5 "$scratch/readonly.log")"
        grep -q 'cannot be written: installing it as built' "$scratch/readonly.log" || fail "no note of a read-only build"
        for f in bin/orvo lib/orvo/liborvo_pregnancy.so lib/orvo/build.conf lib/cmake/orvo/orvoConfig.cmake; do
            [ -e "$scratch/readonly/p q/$f" ] || fail "not installed from a read-only build: $f"
        done
    fi
fi

# The installed orvo finds its default model by itself.
env -i PATH=/usr/bin:/bin "$prefix/bin/orvo" run --set tstop=48 --set cint=24 --vars t >"$scratch/default.csv" 2>&1 ||
    fail "default model: $(cat "$scratch/default.csv")"

# Nothing of the source or build tree on any path from here on.
cd "$scratch/outside" || exit 1
bare() { env -i PATH=/usr/bin:/bin HOME="$scratch" "$@"; }
orvo=$prefix/bin/orvo

bare "$orvo" build "$prefix/share/orvo/models/oral_absorption/oral_absorption.model" --out lib 2>err ||
    fail "orvo build oral_absorption: $(cat err)"
# The oral model after its dose: acentral = dose ka/(ka - ke) (exp(-ke s) - exp(-ka s)), s = t - tdose.
bare "$orvo" run --lib lib/liborvo_oral_absorption.so --set ialg=9 --vars t,acentral >oral.csv 2>err || fail "run oral: $(cat err)"
awk -F, 'NR > 1 && $1 == 24 { s = $1 - 1.25; want = 100 * 1.5 / 1.3 * (exp(-0.2 * s) - exp(-1.5 * s));
         d = $2 - want; if (d < 0) d = -d; found = 1; if (d > 1e-3 * want) { print "acentral(24) = " $2 ", expected " want; exit 1 } }
         END { if (!found) { print "no row at t = 24"; exit 1 } }' oral.csv || fail "oral numbers"

cp "$here/decay.model" . || exit 1
bare "$orvo" build decay.model --out lib 2>err || fail "orvo build decay: $(cat err)"
grep -q '"name": *"decay"' lib/liborvo_decay.json || fail "no metadata beside the built library"
bare "$orvo" run --lib lib/liborvo_decay.so --set k=0.25 --vars t,x >decay.csv 2>err || fail "run decay: $(cat err)"
awk -F, 'NR > 1 { want = 8 * exp(-0.25 * $1); d = $2 - want; if (d < 0) d = -d; if (d > 1e-4 * want) { print "x(" $1 ") = " $2 ", expected " want; bad = 1 } n++ }
         END { if (bad || n != 5) { print n " rows"; exit 1 } }' decay.csv || fail "decay numbers"

# A fault in a description names its place; no library is left.
printf 'model faulty;\nstates { x = 1; }\nderivative { dt(x) = -k * x; }\nterminate when t >= 1;\n' >faulty.model
bare "$orvo" build faulty.model --out lib 2>err && fail "a faulty description built"
grep -q '^faulty.model:3:' err || fail "no file:line:col: $(cat err)"
[ ! -e lib/liborvo_faulty.so ] || fail "a faulty build left a library"

# A GNU MCSim model file: translated and built in one step, or translated alone.
cat >decay_mcsim.model <<'MCSIM'
# First-order loss from one compartment.
States = {Q};
K = 0.5;
Initialize { Q = 8; }
Dynamics { dt(Q) = -K * Q; }
End.
MCSIM
bare "$orvo" build decay_mcsim.model --from mcsim --out lib 2>err || fail "orvo build --from mcsim: $(cat err)"
# Built beside itself, the translation would replace the MCSim file: refused, the file kept.
cp decay_mcsim.model kept.model
bare "$orvo" build decay_mcsim.model --from mcsim 2>err && fail "the MCSim file was translated over itself"
grep -q 'would replace it' err || fail "no message for a translation over its source: $(cat err)"
cmp -s decay_mcsim.model kept.model || fail "the MCSim file was overwritten"
# A simulation file is not a model: refused, nothing written.
printf 'Simulation { PrintStep(Q, 0, 2, 1); }\n' >decay_mcsim.in
bare "$orvo" build decay_mcsim.in --from mcsim --out simlib 2>err && fail "a simulation file built"
grep -q 'is a simulation file' err || fail "no message for a simulation file: $(cat err)"
[ ! -e simlib/decay_mcsim.model ] || fail "building a simulation file wrote into simlib"
mv decay_mcsim.in DECAY.IN  # named as a case-insensitive file system may give it
bare "$orvo" build DECAY.IN --from mcsim --out simlib 2>err && fail "a simulation file named .IN built"
grep -q 'is a simulation file' err || fail "no message for a simulation file named .IN: $(cat err)"
bare "$orvo" run --lib lib/liborvo_decay_mcsim.so --set ialg=9 --set tstop=2 --vars t,q >mcsim.csv 2>err || fail "run mcsim: $(cat err)"
awk -F, 'NR > 1 { want = 8 * exp(-0.5 * $1); d = $2 - want; if (d < 0) d = -d; if (d > 1e-3 * want) { print "q(" $1 ") = " $2; exit 1 } }' mcsim.csv ||
    fail "imported model numbers"
bare "$orvo" import mcsim decay_mcsim.model --out imported.model 2>err || fail "orvo import: $(cat err)"
grep -q '^model ' imported.model || fail "orvo import wrote no description"

# The Python package from the prefix loads a built library.
if bare python3 -c 'import numpy, pandas' 2>/dev/null; then
    bare env PYTHONPATH="$prefix/lib/python3/dist-packages" ${ORVO_PYTHON_PRELOAD:+LD_PRELOAD=$ORVO_PYTHON_PRELOAD ASAN_OPTIONS=detect_leaks=0} python3 -c "
import orvo
m = orvo.Model(lib='lib/liborvo_decay.so')
r = m.run(record=['x'])
assert abs(r['x'].iloc[-1] - 8 * 2.718281828459045 ** -2) < 1e-3, r
assert orvo.find_library().startswith('$prefix/lib/orvo/'), orvo.find_library()
built = orvo.build('decay.model', out='pylib')
assert abs(built.run(record=['x'])['x'].iloc[-1] - 8 * 2.718281828459045 ** -2) < 1e-3
try:
    orvo.build('faulty.model', out='pylib')
    raise SystemExit('a faulty description built')
except orvo.CliError as e:
    assert 'faulty.model:3:' in str(e.stderr), e.stderr
" 2>err || fail "python: $(cat err)"
fi

# find_package(orvo) in a project of its own.
mkdir -p project && cp decay.model project/ && cat >project/CMakeLists.txt <<'PROJECT'
cmake_minimum_required(VERSION 3.25)
project(decay_outside LANGUAGES CXX)
find_package(orvo REQUIRED)
orvo_add_model(decay DESCRIPTION decay.model)
PROJECT
bare "$cmake" -S project -B project/build -DCMAKE_PREFIX_PATH="$prefix" >cmake.log 2>&1 || fail "configure: $(tail -20 cmake.log)"
bare "$cmake" --build project/build >>cmake.log 2>&1 || fail "build: $(tail -20 cmake.log)"
bare "$orvo" run --lib project/build/liborvo_decay.so --vars t,x >pkg.csv 2>err || fail "run find_package model: $(cat err)"
cmp -s pkg.csv "$(bare "$orvo" run --lib lib/liborvo_decay.so --vars t,x >built.csv 2>/dev/null; echo built.csv)" ||
    fail "find_package and orvo build models differ"
echo "install test passed"
