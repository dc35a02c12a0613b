#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages and fetches
# the ODEPACK Fortran sources carried by the r-cran-desolve source package.
# Idempotent; run as root.
# Run by another shell (sh scripts/install-deps.sh): bash runs it instead.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/.deps"
packages=(build-essential cmake ninja-build gfortran libblas-dev libsundials-dev libsuitesparse-dev
          libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev python3
          python3-numpy python3-pandas python3-matplotlib python3-scipy python3-pytest python3-emcee
          clang libclang-rt-dev valgrind libcli11-dev libboost-dev nlohmann-json3-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

updated=0
apt_update() {
  if [ "$updated" = 0 ]; then apt-get update -qq; updated=1; fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "install-deps.sh: run as root to install the missing packages: ${missing[*]}" >&2
    exit 1
  fi
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Prints a deb822 deb-src stanza copied from the first configured "deb" entry
# for the given suite: deb822 stanzas in sources.list.d/*.sources, or
# one-line entries in sources.list and sources.list.d/*.list.
debian_source_entry() {
  local suite=$1 f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") {
          print "Types: deb-src"; print "URIs: " uris; print "Suites: " suite
          print "Components: " (components == "" ? "main" : components)
          if (signed != "") print "Signed-By: " signed
          found = 1; exit
        }
        types = uris = suites = components = signed = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = $1; sub(/:$/, "", key); value = $0; sub(/^[^:]*:[ \t]*/, "", value) }
      key == "Types" { types = value } key == "URIs" { uris = value }
      key == "Suites" { suites = value } key == "Components" { components = value }
      key == "Signed-By" { signed = value }
      END { if (!found) flush() }' "$f" | grep . && return 0
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      $1 == "deb" {
        i = 2; options = ""
        if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) { options = options " " $i; i++ }
                          options = options " " $i; i++ }
        if ($(i + 1) != suite) next
        components = ""; for (j = i + 2; j <= NF; j++) components = components (j > i + 2 ? " " : "") $j
        print "Types: deb-src"; print "URIs: " $i; print "Suites: " suite
        print "Components: " (components == "" ? "main" : components)
        if (match(options, /signed-by=[^] ]+/)) print "Signed-By: " substr(options, RSTART + 10, RLENGTH - 10)
        exit
      }' "$f" | grep . && return 0
  done
  return 0
}

odepack="$cache/odepack"
if [ ! -f "$odepack/src/opkdmain.f" ]; then
  # Enable source packages for this machine's suite when no deb-src entry
  # exists, from the machine's own Debian entry for that suite (its mirror,
  # components and key), so any mirror works.
  if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    . /etc/os-release
    suite=${VERSION_CODENAME:-bookworm}
    entry=$(debian_source_entry "$suite")
    [ -n "$entry" ] || { echo "install-deps: no Debian '$suite' entry in the apt sources" >&2; exit 1; }
    printf '%s\n' "$entry" > /etc/apt/sources.list.d/orvo-deb-src.sources
    updated=0
  fi
  apt_update
  mkdir -p "$cache/download"
  (cd "$cache/download" && apt-get source --download-only -qq r-cran-desolve)
  tarball=$(ls "$cache"/download/r-cran-desolve_*.orig.tar.* 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || { echo "install-deps: r-cran-desolve source not found" >&2; exit 1; }
  rm -rf "$odepack" "$cache/unpack"
  mkdir -p "$cache/unpack"
  tar -xf "$tarball" -C "$cache/unpack"
  top=$(find "$cache/unpack" -name opkdmain.f -path '*/src/*' | head -n 1)
  [ -n "$top" ] || { echo "install-deps: opkdmain.f missing from r-cran-desolve" >&2; exit 1; }
  mv "$(dirname "$(dirname "$top")")" "$odepack"
  rm -rf "$cache/unpack"
fi
echo "install-deps: dependencies ready" >&2
