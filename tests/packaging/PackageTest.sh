#!/usr/bin/env bash
# Builds the Debian packages of a build folder, unpacks them into a temporary
# root (dpkg-deb -x) and uses them from there: the programs answer --version
# and run, the C example builds against the unpacked header and library
# through pkg-config, the Python package imports and reads the simulator, and
# the desktop entry is valid.
set -euo pipefail
# Arguments: the build folder, the version, the names of the packages it makes.
build=$1
version=$2
shift 2
packages=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/packages" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
root=$work/root
mkdir -p "$root"
for package in "${packages[@]}"; do
  debs=("$work"/packages/"${package}"_"${version}"_*.deb)
  [ -f "${debs[0]}" ] || fail "no package $package"
  dpkg-deb -x "${debs[0]}" "$root"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$root/usr/lib/$multiarch

# The library's SONAME and the links the two packages carry.
[ -f "$libdir/libDLMSProtocol.so.1" ] || fail "libDLMSProtocol.so.1 missing"
[ -L "$libdir/libDLMSProtocol.so" ] || fail "development link libDLMSProtocol.so missing"
objdump -p "$libdir/libDLMSProtocol.so.1" | grep -q "SONAME *libDLMSProtocol.so.1" || fail "SONAME"

# Every program answers --version with the one version, and has a manual page.
export LD_LIBRARY_PATH=$libdir
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  out=$("$program" --version)
  [ "$out" = "$name $version" ] || fail "$name --version printed '$out'"
  [ -s "$root/usr/share/man/man1/$name.1.gz" ] || fail "no manual page for $name"
done
for name in quillon-translate quillon-meter-sim; do
  [ -x "$root/usr/bin/$name" ] || fail "$name not installed"
done
"$root/usr/bin/quillon-translate" --demo > "$work/demo.txt" || fail "quillon-translate --demo"
grep -q "<GetRequest>" "$work/demo.txt" || fail "the demo shows no GetRequest"
[ -s "$root/usr/share/quillon/obis.db" ] && [ -s "$root/usr/share/quillon/meter.txt" ] || fail "shared data"

# The C example, compiled against the unpacked header and library.
export PKG_CONFIG_SYSROOT_DIR=$root
export PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs dlmsprotocol) || fail "pkg-config"
cc -std=c11 -Wall -Werror -o "$work/read_register" \
  "$root/usr/share/doc/libdlmsprotocol-dev/examples/read_register.c" $flags || fail "compiling the C example"
"$work/read_register" > "$work/example.txt" || { cat "$work/example.txt"; fail "running the C example"; }
grep -q "read 1.0.1.8.0.255 = 12345" "$work/example.txt" || fail "the C example read no value"

# The Python package: quillon imported from the root's dist-packages with
# Debian's python3 reads a register from the unpacked simulator.
if [[ " ${packages[*]} " == *" python3-quillon "* ]]; then
  pydir=$root/usr/lib/python3/dist-packages
  [ -f "$pydir/quillon/__init__.py" ] || fail "the quillon package is not in dist-packages"
  ls "$pydir"/quillon/_quillon*.so > /dev/null 2>&1 || fail "the extension module is missing"
  "$root/usr/bin/quillon-meter-sim" --quiet --port 0 > "$work/sim.out" 2> /dev/null &
  sim=$!
  trap 'kill $sim 2> /dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 50); do grep -q " port " "$work/sim.out" && break; sleep 0.1; done
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/sim.out" | head -1)
  [ -n "$port" ] || fail "the simulator gave no port"
  out=$(cd "$work" && PYTHONPATH=$pydir /usr/bin/python3 -c "
import quillon, sys
assert quillon.__file__.startswith('$pydir'), quillon.__file__
with quillon.Session(quillon.Meter.tcp('127.0.0.1', $port)) as s:
    r = s.get('1.0.32.7.0.255')
print(r.scaled, r.unit)
") || fail "reading a register with the installed quillon package"
  [ "$out" = "230.0 V" ] || fail "the Python package read '$out'"
  kill $sim
  wait $sim || true
  trap 'rm -rf "$work"' EXIT
fi

# The desktop application's package (not made by a build without the GUI).
if [[ " ${packages[*]} " == *" quillon "* ]]; then
  [ -x "$root/usr/bin/quillon" ] || fail "quillon not installed"
  desktop-file-validate "$root/usr/share/applications/quillon.desktop" || fail "desktop entry"
  [ -s "$root/usr/share/icons/hicolor/scalable/apps/quillon.svg" ] || fail "icon"
  [ -s "$root/usr/share/metainfo/org.quillon.Quillon.metainfo.xml" ] || fail "AppStream data"
fi
echo "packages built, unpacked and used"
