#!/usr/bin/env bash
# The main job on the embedded default: installs what is missing, then runs `velora-mra demo`, which
# starts the bundled reference model (a deterministic stand-in, never a real model's results) on a
# free loopback port, screens it (the judged risks judged by the reference model too), writes the
# results JSON and the PDF and HTML reports under ./screening-output, prints a summary and stops
# the server. Options pass through: --risk NAME, --max-sample-size N, --output DIR, --fail-on, --junit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/velora-mra demo --output "${SCREENING_OUTPUT:-screening-output}" "$@"
