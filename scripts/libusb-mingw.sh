#!/usr/bin/env bash
# Builds libusb-1.0 for 64-bit Windows (its WinUSB backend) with the mingw-w64 cross compiler,
# from Debian's source package, as a static library in build/libusb-mingw (Debian ships no
# Windows build of it). The source comes through the private apt configuration of
# scripts/apt-source.sh under build/apt-source: the system's package lists are neither read
# nor changed. Skipped when the library is already built.
#   scripts/libusb-mingw.sh [prefix]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/build/libusb-mingw}"
host=x86_64-w64-mingw32

if [ -f "$prefix/lib/libusb-1.0.a" ] && [ -f "$prefix/lib/pkgconfig/libusb-1.0.pc" ]; then
  exit 0
fi

. "$root/scripts/apt-source.sh"
work="$root/build/apt-source"
echo "libusb-1.0 for Windows: fetching Debian's source package"
apt_source_init "$work"
source_dir="$(apt_source_fetch "$work" libusb-1.0)"

echo "libusb-1.0 for Windows: building $(cd "$source_dir" && dpkg-parsechangelog -S Version) into $prefix"
build="$work/build"
mkdir -p "$build"
(
  cd "$build"
  "$source_dir/configure" --quiet --host="$host" --prefix="$prefix" \
    --enable-static --disable-shared --disable-udev --disable-examples-build \
    --disable-tests-build CC="$host-gcc-posix" CXX="$host-g++-posix" > /dev/null
  # The library's own warnings are not ours to fix: kept in a log shown only on failure.
  if ! { make -s -j"$(nproc)" && make -s install; } > "$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    exit 1
  fi
)
rm -rf "$work"
test -f "$prefix/lib/libusb-1.0.a"
