#!/usr/bin/env bash
# Runs the conformance checker over the remote plug-in, against a vorn-serve of the simulated
# plug-in started here on a free loopback port and stopped at the end.
#   check_remote.sh VORN_SERVE VORN_CHECK REMOTE_PLUGIN SIM_PLUGIN
set -euo pipefail
serve=$1
check=$2
remote=$3
sim=$4
log=$(mktemp)
"$serve" "$sim" --bind 'tcp://127.0.0.1:*' --device default= \
    --device finite=stream_bytes=65536 >"$log" 2>&1 &
server=$!
# The server's log is shown at the end, so a sanitizer's report from the server fails the test.
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; cat "$log"; rm -f "$log"' EXIT
endpoint=
for _ in $(seq 500); do
    endpoint=$(sed -n 's/.*serving [^ ]* on \([^ ]*\).*/\1/p' "$log" | head -n 1)
    [ -n "$endpoint" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.02
done
[ -n "$endpoint" ] || { echo "vorn-serve did not start:"; cat "$log"; exit 1; }
"$check" "$remote" -o "endpoint=$endpoint" --finite-options "endpoint=$endpoint device=finite"
