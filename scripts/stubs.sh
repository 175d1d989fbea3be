#!/usr/bin/env bash
# Writes the type stubs of the extension modules (src/halvane/**/*.pyi) with
# nanobind's stubgen, from the installed package: after a change to the
# bindings, reinstall and run this. With --check, writes them into a temporary
# folder instead and fails if they differ from the committed ones.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

modules=(halvane._open halvane._avatar halvane._picture halvane._offline halvane._zephan2._tessel_host)

out=$root/src
if [ "${1:-}" = --check ]; then
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi
# Run outside the source tree, so that the installed package is the one imported.
cd /
for m in "${modules[@]}"; do
  stub=$out/${m//.//}.pyi
  mkdir -p "$(dirname "$stub")"
  "$root/.venv/bin/python" -m nanobind.stubgen -q -p "$root/scripts/stubs.patterns" -m "$m" -o "$stub"
done

if [ "$out" != "$root/src" ]; then
  for m in "${modules[@]}"; do
    stub=${m//.//}.pyi
    if ! diff -u "$root/src/$stub" "$out/$stub"; then
      echo "stubs: src/$stub differs from the installed module's; run bash scripts/stubs.sh and commit it" >&2
      exit 1
    fi
  done
fi
