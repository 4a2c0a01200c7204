#!/usr/bin/env bash
# Builds what release packages need for 64-bit Windows with the mingw-w64 cross compiler, from
# Debian's source packages, as static libraries in build/package-libs-mingw: libsodium (the
# signatures) and libzip (the package's zip), over Debian's own zlib for Windows
# (libz-mingw-w64-dev). Debian ships no Windows build of the two. The sources come through
# scripts/apt-source.sh, as libusb's do. Each library is skipped when already built.
#   scripts/package-libs-mingw.sh [prefix]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/build/package-libs-mingw}"
host=x86_64-w64-mingw32

if [ -f "$prefix/lib/pkgconfig/libsodium.pc" ] && [ -f "$prefix/lib/pkgconfig/libzip.pc" ]; then
  exit 0
fi

. "$root/scripts/apt-source.sh"
work="$root/build/apt-source-package-libs"
apt_source_init "$work"
log="$work/build.log"
# A library's own warnings are not ours to fix: its output is kept in a log shown on failure.
quietly() {
  if ! "$@" > "$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
}
# Each source is moved out of apt_source_fetch's one unpacking folder before the next comes.
fetch() {
  local unpacked
  unpacked="$(apt_source_fetch "$work" "$1")"
  rm -rf "${work:?}/$1"
  mv "$unpacked" "$work/$1"
  rm -f "$work"/src/*
  echo "$work/$1"
}
toolchain="$work/toolchain.cmake"
cat > "$toolchain" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $host-gcc-posix)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$host $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

if [ ! -f "$prefix/lib/pkgconfig/libsodium.pc" ]; then
  echo "libsodium for Windows: building from Debian's source package into $prefix"
  sodium="$(fetch libsodium)"
  # The source package carries no generated configure script.
  (cd "$sodium" && quietly autoreconf -fi)
  mkdir -p "$work/sodium-build"
  (cd "$work/sodium-build" &&
   quietly "$sodium/configure" --host="$host" --prefix="$prefix" --enable-static \
     --disable-shared --disable-pie CC="$host-gcc-posix" &&
   quietly make -j"$(nproc)" && quietly make install)
fi

echo "libzip for Windows: building from Debian's source package into $prefix"
libzip="$(fetch libzip)"
quietly cmake -S "$libzip" -B "$work/libzip-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DZLIB_LIBRARY="/usr/$host/lib/libz.a" -DZLIB_INCLUDE_DIR="/usr/$host/include" \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
  -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
quietly cmake --build "$work/libzip-build" -j"$(nproc)"
quietly cmake --install "$work/libzip-build"

rm -rf "$work"
test -f "$prefix/lib/libsodium.a" && test -f "$prefix/lib/libzip.a"
