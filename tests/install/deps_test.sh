#!/bin/sh
# usage: deps_test.sh SOURCE_DIR SCRATCH
# scripts/install-deps.sh with everything already in place (as `make test`
# leaves it): run by sh or by bash, it calls no apt-get, changes nothing and
# says the dependencies are ready.
source=$1
scratch=$2
[ -n "$source" ] && [ -n "$scratch" ] || { echo "usage: $0 SOURCE_DIR SCRATCH" >&2; exit 2; }
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$source/.deps/odepack/src/opkdmain.f" ] || { echo "no ODEPACK sources in $source/.deps: nothing to check"; exit 0; }
rm -rf "$scratch" && mkdir -p "$scratch/bin" || exit 1
# apt-get and apt record that they were called and fail.
for tool in apt-get apt; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 100\n' "$tool" "$scratch" >"$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done
state() { find "$source/.deps" /etc/apt/sources.list.d -printf '%p %s %T@\n' 2>/dev/null | sort; }
before=$(state)
for shell in sh bash; do
    PATH="$scratch/bin:$PATH" $shell "$source/scripts/install-deps.sh" >"$scratch/out" 2>&1 ||
        fail "$shell install-deps.sh: $(tail -5 "$scratch/out")"
    grep -q 'install-deps: dependencies ready' "$scratch/out" || fail "$shell install-deps.sh: $(cat "$scratch/out")"
    [ ! -e "$scratch/called" ] || fail "$shell install-deps.sh called $(cat "$scratch/called")"
    [ "$(state)" = "$before" ] || fail "$shell install-deps.sh changed .deps or the apt sources"
done
# A package missing and no root: said so, before any apt-get.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/dpkg-query"
    chmod +x "$scratch/bin/dpkg-query"
    chmod -R a+rX "$scratch"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env PATH="$scratch/bin:$PATH" \
        bash "$source/scripts/install-deps.sh" >"$scratch/out" 2>&1 && fail "install-deps.sh without root succeeded"
    grep -q 'install-deps.sh: run as root to install the missing packages: build-essential' "$scratch/out" ||
        fail "install-deps.sh without root: $(cat "$scratch/out")"
    [ ! -e "$scratch/called" ] || fail "install-deps.sh without root called $(cat "$scratch/called")"
fi
echo "deps test passed"
