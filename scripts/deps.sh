#!/usr/bin/env bash
# Makes sure the Debian packages the build needs are installed. fonts-wine carries the
# Tahoma the window is drawn for; the window and the tests use it where it is installed.
# help2man makes the man pages from the programs' --help; dpkg-dev lets CPack work out the
# .deb's library dependencies. util-linux's unshare gives the default pass's tests the clocks
# of a machine started a minute ago. libpq-dev is the site record's client, postgresql the
# server its tests start themselves, libcpp-httplib-dev the dashboard's web server and chromium
# the browser its test loads the pages in.
# As root it installs what is missing with apt-get; otherwise it prints the apt-get line
# and fails, so nothing half-builds.
# libzip, libsodium and minisign: release packages, their signatures, and the signing tool the
# tests check them against.
# With --windows it also builds libusb-1.0, libsodium and libzip, and Qt 6 for Windows into
# build/libusb-mingw, build/package-libs-mingw and build/qt-mingw (once; Qt's build is kept in
# the user's cache folder for later clones).
#   scripts/deps.sh [--extras] [--windows] [--vm]
set -euo pipefail
windows=0

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev libudev-dev libcli11-dev nlohmann-json3-dev
  umockdev libumockdev-dev
  qt6-base-dev xvfb xauth
  libzip-dev libsodium-dev minisign
  fonts-wine
  help2man dpkg-dev desktop-file-utils bash-completion tmux
  util-linux
  libpq-dev postgresql libcpp-httplib-dev chromium
)
for arg in "$@"; do
  case "$arg" in
    # What the screenshot and window-measurement scripts drive the window with.
    --extras) packages+=(xdotool imagemagick x11-utils bc) ;;
    # The Windows pass: the mingw-w64 cross compiler (posix threads) and Wine to run its tests.
    # zip packs the programs for Windows; make and bzip2 build libusb from its source package;
    # Qt's is built with Debian's own host tools (moc, rcc, uic) and its cached build is
    # packed with zstd.
    # The virtual machine of scripts/vm-test.sh: QEMU, a static busybox for its initramfs,
    # kmod to index the kernel's modules, udev to run inside it, dfu-util to compare with.
    --vm) packages+=(qemu-system-x86 busybox-static kmod cpio udev dfu-util) ;;
    --windows)
      windows=1
      packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 python3 zip
                 unzip bzip2 make dpkg-dev qt6-base-dev-tools zstd
                 autoconf automake libtool libz-mingw-w64-dev)
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  :
elif [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "These Debian packages are missing. Install them first:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

if [ "$windows" -eq 1 ]; then
  "$(dirname "$0")/libusb-mingw.sh"
  "$(dirname "$0")/package-libs-mingw.sh"
  "$(dirname "$0")/qt-mingw.sh"
fi
