#!/usr/bin/env bash
# Starts the desktop application under Xvfb with the sample object list
# loaded and writes a PNG of the screen.
#   scripts/screenshot.sh [OUTPUT.png] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshot.png}")
build=$(realpath "${2:-build}")
for exe in quillon quillon-screengrab; do
  [ -x "$build/bin/$exe" ] || { echo "$build/bin/$exe is missing: build the targets first" >&2; exit 1; }
done

# A private settings folder, so the operator's own settings stay untouched.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
folder="$home/quillon/7.1"
mkdir -p "$folder"
cat > "$folder/quillon.ini" <<INI
[LastFiles]
OL=$PWD/docs/sample-object-list.txt

[FormMain]
WindowState=0
Top=0
Left=0
Width=1100
Height=760

[Misc]
Split=42000
INI
chmod 600 "$folder/quillon.ini"

XDG_DATA_HOME="$home" xvfb-run -a -s "-screen 0 1100x760x24" bash -c '
  "$1" & app=$!
  sleep 4            # start-up, font cache and the first paint
  "$2" "$3"; rc=$?
  kill "$app"; wait "$app" 2>/dev/null || true
  exit $rc' _ "$build/bin/quillon" "$build/bin/quillon-screengrab" "$out"
echo "wrote $out"
