#!/usr/bin/env bash
# Sets everything up, then renders the demo avatar speaking: out/demo.mp4 (offline) and
# out/live-demo.mp4 (a live session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if ! command -v espeak-ng >/dev/null 2>&1; then
  # A real voice for the demo; without it the demo synthesises one.
  (export DEBIAN_FRONTEND=noninteractive; apt-get install -y -qq espeak-ng >/dev/null 2>&1) || true
fi
.venv/bin/python examples/render_demo.py "${1:-out}"
# The same avatar live: a voice agent's session with one barge-in, out/live-demo.mp4.
.venv/bin/python examples/live_demo.py "${1:-out}"
