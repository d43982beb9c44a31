#!/usr/bin/env bash
# Starts the desktop application under Xvfb with the sample object list
# loaded and writes a PNG of the screen; then, against the meter simulator,
# the profile view of the 15-minute load profile (table and chart), written
# beside it as profile.png; and the window at work: a write the meter
# refuses (refused-write.png), the log window beside a profile read
# (profile-log.png).
#   scripts/screenshot.sh [OUTPUT.png] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshot.png}")
build=$(realpath "${2:-build}")
for exe in quillon quillon-screengrab quillon-meter-sim quillon-docscenes; do
  [ -x "$build/bin/$exe" ] || { echo "$build/bin/$exe is missing: build the targets first" >&2; exit 1; }
done

# A private settings folder, so the operator's own settings stay untouched.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
folder="$home/quillon/7.1"
mkdir -p "$folder"
# The main window fills the virtual screen in both pictures.
window='[FormMain]
WindowState=0
Top=0
Left=0
Width=1100
Height=760
'
cat > "$folder/quillon.ini" <<INI
[LastFiles]
OL=$PWD/docs/sample-object-list.txt

$window
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

# The profile view: the simulator on a free loopback port, the settings
# pointing at it, the last 24 hours read at start.
profile_out="$(dirname "$out")/profile.png"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$build/bin/quillon-meter-sim" --port "$port" --quiet & sim=$!
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$home"' EXIT
cat > "$folder/quillon.ini" <<INI
$window
[FormSettings]
RBSelectTCP=1
EDITServerIP=127.0.0.1:$port
RBSelectHDLC=0
EDITComPort=1
EDITBaud=9600
CHKModeE=0
EDITPhysicalAddress=
EDITPW=
EDITConnectTimeout=5000
EDITResponseTimeout=5000
EDITClientAddress=16
EDITServerAddress=1

[FormSettings.CBReferencingModel]
i=0

[FormSettings.CBAuthMechanism]
i=0

[FormSettings.CBProtectionOnRequest]
i=0
INI
XDG_DATA_HOME="$home" xvfb-run -a -s "-screen 0 1100x760x24" bash -c '
  "$1" --open-profile 1.0.99.1.0.255 & app=$!
  sleep 6            # start-up, the read and the first paint
  "$2" "$3"; rc=$?
  kill "$app"; wait "$app" 2>/dev/null || true
  exit $rc' _ "$build/bin/quillon" "$build/bin/quillon-screengrab" "$profile_out"
echo "wrote $profile_out"

# The window at work against the same simulator.
XDG_DATA_HOME="$home" xvfb-run -a -s "-screen 0 1300x760x24" \
  "$build/bin/quillon-docscenes" "$port" "$(dirname "$out")"
echo "wrote $(dirname "$out")/refused-write.png and $(dirname "$out")/profile-log.png"
