#!/bin/sh
# Usage: check_exports.sh LIBRARY HEADER
# Passes when the library's defined dynamic symbols are exactly the functions
# the host header declares.
set -eu
library=$1
header=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

nm -D --defined-only "$library" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' | sort -u \
    > "$work/exported"
grep -o '^ORVO_API[^(]*(' "$header" | sed 's/($//; s/.*[ *]//' | sort -u > "$work/declared"

declared=$(wc -l < "$work/declared")
exported=$(wc -l < "$work/exported")
if [ "$declared" -ne 157 ]; then
    echo "header declares $declared exports, expected 157"
    exit 1
fi
if ! diff "$work/declared" "$work/exported" > "$work/diff"; then
    echo "exports differ from the header (< declared only, > exported only):"
    cat "$work/diff"
    exit 1
fi
echo "library exports the $exported declared functions"
