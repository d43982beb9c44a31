#!/usr/bin/env bash
# The simulator starts, tells where it listens, and stops cleanly on SIGTERM.
set -euo pipefail
sim=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$sim" --port 0 --quiet > "$out" &
pid=$!
for _ in $(seq 1 100); do
  grep -q "listening on 127.0.0.1 port" "$out" && break
  sleep 0.05
done
grep -q "listening on 127.0.0.1 port [0-9]* (DLMS wrapper)" "$out" || { echo "no listening line"; cat "$out"; exit 1; }
kill -TERM "$pid"
wait "$pid"
echo "simulator stopped cleanly"
