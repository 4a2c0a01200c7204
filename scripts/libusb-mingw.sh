#!/usr/bin/env bash
# Builds libusb-1.0 for 64-bit Windows (its WinUSB backend) with the mingw-w64 cross compiler,
# from Debian's source package, as a static library in build/libusb-mingw (Debian ships no
# Windows build of it). The source comes through a private apt configuration under
# build/apt-source: the system's package lists are neither read nor changed. Skipped when the
# library is already built.
#   scripts/libusb-mingw.sh [prefix]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/build/libusb-mingw}"
host=x86_64-w64-mingw32

if [ -f "$prefix/lib/libusb-1.0.a" ] && [ -f "$prefix/lib/pkgconfig/libusb-1.0.pc" ]; then
  exit 0
fi

work="$root/build/apt-source"
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/src"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main" > "$work/sources.list"
apt_private=(
  -o "Dir::Etc::SourceList=$work/sources.list"
  -o "Dir::Etc::SourceParts=$work/parts"
  -o "Dir::State::Lists=$work/lists"
  -o "Dir::Cache=$work/cache"
  -o Debug::NoLocking=1
  -o APT::Sandbox::User=root
)
echo "libusb-1.0 for Windows: fetching Debian's source package"
apt-get -qq "${apt_private[@]}" update
(cd "$work/src" && apt-get -qq "${apt_private[@]}" source --download-only libusb-1.0)

orig="$(ls "$work"/src/libusb-1.0_*.orig.tar.* | head -n 1)"
tar -xf "$orig" -C "$work/src"
source_dir="$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libusb-*' | head -n 1)"

echo "libusb-1.0 for Windows: building $(basename "$source_dir") into $prefix"
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
