#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need.
# Quick when everything is present: apt-get runs only for missing packages.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev
  qt6-base-dev
  clang libclang-rt-14-dev
  python3
  xvfb xauth
  ccache
  libcli11-dev nlohmann-json3-dev libsqlite3-dev qt6-charts-dev
  libpq-dev postgresql
  dpkg-dev fakeroot lintian desktop-file-utils appstream help2man
  libqt6opengl6-dev
  python3-yaml shellcheck
  pybind11-dev python3-dev python3-pytest
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
