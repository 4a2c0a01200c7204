#!/usr/bin/env bash
# Builds Qt 6 (Core, Gui, Widgets, Test) for 64-bit Windows with the mingw-w64 cross compiler,
# from Debian's qt6-base source package with Debian's patches, as static libraries with the
# static C++ runtime in build/qt-mingw (Debian ships no Qt for mingw). The window needs only
# those modules, the windows platform plugin (the offscreen one for its tests) and the
# windows and vista styles, so everything else is left out; every third-party library Qt
# uses is its own bundled copy. Qt's host tools (moc, rcc, uic) are Debian's own, so their
# version must match the source's.
#
# The source comes through the private apt configuration of scripts/apt-source.sh. The build
# takes about a quarter of an hour on two cores; its result is packed once into the user's
# cache folder (${XDG_CACHE_HOME:-~/.cache}/caddis), keyed by the Qt version, the compiler and
# the configure line, and later runs on the same machine unpack it in seconds. Skipped when
# build/qt-mingw already holds the same build.
#   scripts/qt-mingw.sh [prefix]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/build/qt-mingw}"
host=x86_64-w64-mingw32
host_tools_cmake=/usr/lib/x86_64-linux-gnu/cmake

host_version="$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)"
qt_version="${host_version%%+*}"
qt_version="${qt_version%%-*}"

configure_options=(
  -G Ninja
  -DCMAKE_BUILD_TYPE=Release
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR="$host_tools_cmake"
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DBUILD_SHARED_LIBS=OFF
  -DFEATURE_static_runtime=ON
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DFEATURE_pkg_config=OFF
  # Modules the window does not use.
  -DFEATURE_sql=OFF
  -DFEATURE_network=OFF
  -DFEATURE_dbus=OFF
  -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF
  # Drawing stays in software: no OpenGL, Vulkan or Direct2D. DirectWrite 3 without Direct2D
  # does not link in this Qt version.
  -DINPUT_opengl=no
  -DFEATURE_opengl=OFF
  -DFEATURE_vulkan=OFF
  -DFEATURE_direct2d=OFF
  -DFEATURE_directwrite3=OFF
  -DFEATURE_icu=OFF
  -DFEATURE_zstd=OFF
  -DFEATURE_jpeg=OFF
  -DFEATURE_gif=OFF
  # Debian's repacked source has no tablet (wintab) headers.
  -DFEATURE_tabletevent=OFF
  # FreeType draws text for the offscreen platform plugin the tests use.
  -DFEATURE_freetype=ON
  -DFEATURE_system_freetype=OFF
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_system_libb2=OFF
)

# The key of this build: Qt's version, the compiler's, and the configure line.
key="$qt_version-$( { echo "$host_version"; "$host-g++-posix" --version | head -n 1
                      printf '%s\n' "${configure_options[@]}"; } | sha256sum | cut -c1-16)"
stamp="$prefix/caddis-qt-build"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
  exit 0
fi

cache_dir="${XDG_CACHE_HOME:-${HOME:-/nonexistent}/.cache}/caddis"
cache="$cache_dir/qt-mingw-$key.tar.zst"
if [ -f "$cache" ]; then
  echo "Qt $qt_version for Windows: unpacking $cache"
  rm -rf "$prefix"
  mkdir -p "$prefix"
  if zstd -q -d -c "$cache" | tar -xf - -C "$prefix"; then
    echo "$key" > "$stamp"
    exit 0
  fi
  echo "Qt $qt_version for Windows: the cached build is damaged; building it again" >&2
  rm -f "$cache"
fi

work="$root/build/qt-mingw-work"
build="$work/build"
log="$work/build.log"
# An interrupted build of the same key goes on where it stopped.
if [ -f "$work/key" ] && [ "$(cat "$work/key")" = "$key" ] && [ -f "$build/build.ninja" ]; then
  echo "Qt $qt_version for Windows: going on with the build in $work"
else
  . "$root/scripts/apt-source.sh"
  echo "Qt $qt_version for Windows: fetching Debian's qt6-base source package"
  apt_source_init "$work"
  source_dir="$(apt_source_fetch "$work" qt6-base)"
  source_version="$(cd "$source_dir" && dpkg-parsechangelog -S Version)"
  if [ "${source_version%%+*}" != "$qt_version" ]; then
    echo "qt6-base source $source_version does not match the host tools $host_version" >&2
    exit 1
  fi
  cat > "$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $host-gcc-posix)
set(CMAKE_CXX_COMPILER $host-g++-posix)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$host)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
  # Qt's own warnings are not ours to fix: kept in a log shown only on failure.
  if ! cmake -S "$source_dir" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${configure_options[@]}" > "$log" 2>&1; then
    cat "$log" >&2
    echo "Qt $qt_version for Windows: configuring failed" >&2
    exit 1
  fi
  echo "$key" > "$work/key"
fi

echo "Qt $qt_version for Windows: building into $prefix (a quarter of an hour)"
started=$SECONDS
if ! {
  cmake --build "$build" --parallel "$(nproc)" && rm -rf "$prefix" && cmake --install "$build"
} >> "$log" 2>&1; then
  tail -n 100 "$log" >&2
  echo "Qt $qt_version for Windows: failed; the whole log is $log" >&2
  exit 1
fi
echo "$key" > "$stamp"
echo "Qt $qt_version for Windows: built in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"

if mkdir -p "$cache_dir" 2> /dev/null; then
  tar -C "$prefix" -cf - . | zstd -q -T0 -o "$cache.part" && mv "$cache.part" "$cache" &&
    echo "Qt $qt_version for Windows: kept in $cache" ||
    rm -f "$cache.part"
fi
rm -rf "$work"
