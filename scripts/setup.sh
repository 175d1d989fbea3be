#!/usr/bin/env bash
# Prepares a fresh machine: Debian tools, the .venv with the PyPI packages,
# and halvane itself built and installed into it. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_pkgs=(libgtest-dev ffmpeg pkg-config nlohmann-json3-dev libssl-dev libzip-dev)
missing=()
for p in "${apt_pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  py=$(command -v python3.11 || command -v python3)
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "nanobind>=3.1,<3.2" numpy ai-edge-litert \
  pytest flatbuffers "av<19"
.venv/bin/python -m pip install -q --no-build-isolation .

# _aio_probes, the module of C++ coroutines that the bridge's tests and
# benchmark drive: built into build/aio-probes (tests/avatar/conftest.py puts
# it on the path), never installed with halvane.
cmake -S . -B build/aio-probes -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/aio-probes --target _aio_probes -j"$(nproc)" >/dev/null
