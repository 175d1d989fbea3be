#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build/fuzz and runs
# each fuzz/<name>_fuzz.cc target for SECONDS (default 20), starting from its
# seeds in fuzz/corpus/<name>_fuzz/. Prints executions and crashes per target;
# exits non-zero when any target crashed (the input is kept under
# build/fuzz/artifacts/<target>/ for reproduction: build/fuzz/<target> <file>).
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-20}"
root="$PWD"
out="$root/build/fuzz"

# clang with the libFuzzer runtime (Debian: clang + libclang-rt-14-dev).
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  $sudo apt-get install -y -q clang libclang-rt-14-dev >/dev/null
fi

CC=clang CXX=clang++ cmake -S fuzz -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j"$(nproc)" >/dev/null

status=0
printf '%-24s %14s %8s\n' target executions crashes
for src in fuzz/*_fuzz.cc; do
  name="$(basename "$src" .cc)"
  work="$out/corpus/$name"          # grows across runs; the seeds stay untouched
  art="$out/artifacts/$name"
  log="$out/$name.log"
  mkdir -p "$work" "$art"
  rm -f "$art"/*
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  set +e
  "$out/$name" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$art/" \
    "$work" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  set -e
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  crashes="$(find "$art" -type f | wc -l)"
  [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ] && crashes=1  # died without leaving an input
  printf '%-24s %14s %8s\n' "$name" "${execs:-?}" "$crashes"
  if [ "$crashes" -ne 0 ]; then
    status=1
    echo "  log: $log"
    find "$art" -type f | sed 's/^/  input: /'
  fi
done
exit "$status"
