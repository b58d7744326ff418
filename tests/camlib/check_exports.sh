#!/bin/sh
# The shared library's dynamic symbol table must define exactly the names in
# the list (the program binds them by name); everything else stays hidden.
# Usage: check_exports.sh <library> <expected-names-file>
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sed 's/@.*//' | LC_ALL=C sort -u)
want=$(LC_ALL=C sort -u "$expected")
if [ "$actual" != "$want" ]; then
    echo "dynamic symbols of $lib differ from $expected:"
    printf '%s\n' "$actual" > "${TMPDIR:-/tmp}/exports.actual.$$"
    printf '%s\n' "$want" | diff -u - "${TMPDIR:-/tmp}/exports.actual.$$" || true
    rm -f "${TMPDIR:-/tmp}/exports.actual.$$"
    exit 1
fi
# Types: 26 functions (T) and the three variables (B, D or V).
functions=$(nm -D --defined-only "$lib" | awk '$2 == "T" && $3 ~ /^ZarnCamera_/' | wc -l)
if [ "$functions" -ne 26 ]; then
    echo "expected 26 exported functions, found $functions"
    exit 1
fi
echo "exports ok: $(printf '%s\n' "$actual" | wc -l) names"
