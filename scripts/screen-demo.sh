#!/usr/bin/env bash
# The main job on the embedded default: installs what is missing, starts the bundled reference
# model (a deterministic stand-in, never a real model's results) on a free loopback port, screens it
# through the default scoring function, prints the results, writes them as JSON and the PDF report
# under ./screening-output, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
output=${SCREENING_OUTPUT:-screening-output}
mkdir -p "$output"

server_log="$output/reference-model.log"
.venv/bin/velora-reference-model --host 127.0.0.1 --port 0 >"$server_log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
endpoint=""
for _ in $(seq 100); do
  endpoint=$(sed -n 's/^listening on //p' "$server_log")
  [ -n "$endpoint" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$server_log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$endpoint" ] || { echo "the reference model did not start; see $server_log" >&2; exit 1; }
echo "reference model (deterministic stand-in) listening on $endpoint"

# The judged risks use the reference model as their judge, through the inference SDK.
export CORVEX_DEFAULT_PROVIDER=nimbra-sdk QNR_URL="$endpoint" QNR_APIKEY=reference-model QNR_PROJECT_ID=demo-project
# Every risk of the catalogue (pass --risk=<name> to choose, --max-sample-size=N to cap the cards).
.venv/bin/python examples/screen_reference_model.py --endpoint "$endpoint" --output "$output" --report "$@"
