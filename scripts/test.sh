#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite: the C++ unit tests under
# AddressSanitizer + UBSan, a short run of each fuzz target, then pytest
# against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/cpp-tests -DHALVANE_CPP_TESTS=ON -DHALVANE_SANITIZE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests --target cpp_tests -j"$(nproc)" >/dev/null
(cd build/cpp-tests && ctest --output-on-failure -j"$(nproc)")

# A short bounded run of every fuzz target (longer runs: scripts/fuzz.sh SECONDS).
bash scripts/fuzz.sh 10

# The committed type stubs match the installed extension modules.
bash scripts/stubs.sh --check

.venv/bin/python -m pytest -q "$@"
