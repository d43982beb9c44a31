#!/usr/bin/env bash
# Starts the meter simulator on loopback and the desktop application on it.
# Without a desktop (or without the application build) it shows the
# translator's demo instead.
set -euo pipefail
build=${1:-build}
sim="$build/bin/quillon-meter-sim"
app="$build/bin/quillon"

if [ -x "$app" ] && [ -x "$sim" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  "$sim" --port 4059 --quiet &
  sim_pid=$!
  trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
  "$app"
  exit 0
fi

if [ -x "$app" ] && [ -x "$sim" ]; then
  echo "No display: showing the translator demo instead of the desktop application." >&2
  echo "(The simulator alone: $sim --help)" >&2
fi
exec "$build/bin/quillon-translate" --demo
