#!/usr/bin/env bash
# Starts the most useful program that the build produced.
set -euo pipefail
build=${1:-build}
if [ -x "$build/bin/quillon-translate" ]; then
  exec "$build/bin/quillon-translate" --demo
fi
echo "Nothing to run yet: build/bin holds no program." >&2
exit 1
