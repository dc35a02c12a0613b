#!/bin/sh
# usage: deb_test.sh DEB SCRATCH [TREE...]
# Checks the Debian package `make deb` writes (`make deb-test`; too slow for
# `make test`, since the package is a build of its own): its content, that no
# path of the trees it was built from (TREE...: the source and build trees) is
# baked into it, that its Depends cover the libraries its programs load and
# `orvo build` links, that removing it leaves nothing behind once Python has
# written byte code beside its modules, and that the unpacked tree builds and
# runs a model with nothing of the source tree in reach.
deb=$1
scratch=$2
[ -f "$deb" ] && [ -n "$scratch" ] || { echo "usage: $0 DEB SCRATCH [TREE...]" >&2; exit 2; }
shift 2
fail() { echo "FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)  # decay.model, the model written for these tests
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")
rm -rf "$scratch" && mkdir -p "$scratch/root" "$scratch/control" "$scratch/outside" || exit 1
cd "$scratch" && scratch=$(pwd) || exit 1
dpkg-deb -x "$deb" root && dpkg-deb -e "$deb" control || fail "cannot unpack $deb"
usr=$scratch/root/usr

for f in bin/orvo bin/orvo-submit-slurm include/orvo/orvo.h lib/orvo/liborvo_pregnancy.so lib/orvo/liborvo_pregnancy.json \
         lib/orvo/orvo-default-model lib/orvo/liborvo_core.a lib/orvo/libodepack.a lib/orvo/orvo.map lib/orvo/build.conf \
         lib/orvo/liborvo-recorder.so lib/orvo/modelgen/orvo-modelgen lib/orvo/import/orvo-import \
         lib/cmake/orvo/orvoConfig.cmake lib/cmake/orvo/orvoConfigVersion.cmake lib/python3/dist-packages/orvo/__init__.py \
         share/orvo/README.md share/orvo/python/README.md share/orvo/docs/model-language.md \
         share/orvo/examples/population-array.slurm share/orvo/models/pregnancy/scenarios/example.scenario \
         share/orvo/models/oral_absorption/oral_absorption.model share/doc/orvo/copyright; do
    [ -e "$usr/$f" ] || fail "not in the package: /usr/$f"
done

# Nothing of the trees it was built from, and no RPATH or RUNPATH.
for tree in "$@"; do
    found=$(grep -rlaF -- "$tree" root | head -3)
    [ -z "$found" ] || fail "$tree baked into $found"
done
for f in $(find root -type f \( -name '*.so' -o -path '*/bin/*' \)); do
    if readelf -h "$f" >/dev/null 2>&1 && readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then
        fail "$f has $(readelf -d "$f" | grep -E 'RPATH|RUNPATH')"
    fi
done

# Depends: every shared library the programs load, and the -dev files build.conf links.
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g')
depends_on() { printf '%s\n' "$depends" | grep -qxF "$1"; }
owner() {   # the package holding FILE, through symbolic links (alternatives)
    p=$1
    for _ in 1 2 3 4 5; do
        for q in "$p" "/usr$p"; do   # merged /usr: /lib is /usr/lib
            o=$(dpkg -S "$q" 2>/dev/null | head -1 | cut -d: -f1) && [ -n "$o" ] && { echo "$o"; return; }
        done
        t=$(readlink "$p") || return 1
        case $t in /*) p=$t ;; *) p=$(dirname "$p")/$t ;; esac
    done
    return 1
}
for lib in $(for f in "$usr"/bin/orvo "$usr"/lib/orvo/*.so; do readelf -d "$f"; done |
             sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
    file=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ { print $NF; exit }')
    [ -n "$file" ] || fail "$lib not found on this machine"
    package=$(owner "$file") || fail "no package holds $file"
    depends_on "$package" || depends_on "$lib" || fail "Depends lacks $package (for $lib)"
done
for file in $(sed -n 's/^libs = //p' "$usr/lib/orvo/build.conf"); do
    case $file in /*) ;; *) continue ;; esac
    package=$(owner "$file") || fail "no package holds $file (build.conf)"
    depends_on "$package" || fail "Depends lacks $package (for $file in build.conf)"
done
for package in python3 python3-numpy python3-pandas g++ gfortran; do
    depends_on "$package" || fail "Depends lacks $package"
done

# The unpacked tree, with nothing else in reach: its orvo runs the example
# scenario and builds a model; its Python package runs the built model.
cd outside || exit 1
bare() { env -i PATH=/usr/bin:/bin HOME="$scratch" "$@"; }
bare "$usr/bin/orvo" run --scenario "$usr/share/orvo/models/pregnancy/scenarios/example.scenario" --out example.csv \
    >/dev/null 2>err || fail "example scenario: $(cat err)"
cp "$here/decay.model" . || exit 1
bare "$usr/bin/orvo" build decay.model --out lib 2>err || fail "orvo build: $(cat err)"
bare env PYTHONPATH="$usr/lib/python3/dist-packages" python3 -c "
import orvo
assert orvo.find_library().startswith('$usr/lib/orvo/'), orvo.find_library()
r = orvo.Model(lib='lib/liborvo_decay.so').run(record=['x'])
assert abs(r['x'].iloc[-1] - 8 * 2.718281828459045 ** -2) < 1e-3, r
" 2>err || fail "python: $(cat err)"
cd "$scratch" || exit 1

# Removal (as dpkg does it: prerm, then the package's files) leaves no file
# behind, although the import above, as root, wrote byte code.
[ -x control/prerm ] || fail "no prerm"
DPKG_ROOT=$scratch/root sh control/prerm remove || fail "prerm failed"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | while read -r f; do rm -f "root$f"; done
left=$(find root -type f -o -type l | head -3)
[ -z "$left" ] || fail "left after removal: $left"
echo "deb test passed"
