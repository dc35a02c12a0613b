#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages and fetches
# the ODEPACK Fortran sources carried by the r-cran-desolve source package.
# Idempotent; run as root.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/.deps"
packages=(build-essential cmake ninja-build gfortran libblas-dev libsundials-dev
          libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev python3
          python3-numpy python3-pandas python3-matplotlib python3-scipy python3-pytest)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

updated=0
apt_update() {
  if [ "$updated" = 0 ]; then apt-get update -qq; updated=1; fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

odepack="$cache/odepack"
if [ ! -f "$odepack/src/opkdmain.f" ]; then
  # Enable source packages for this machine's suite when no deb-src entry exists.
  if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    . /etc/os-release
    suite=${VERSION_CODENAME:-bookworm}
    cat > /etc/apt/sources.list.d/orvo-deb-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
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
