#!/usr/bin/env bash
# Runs the tests that need the real Linux USB stack: a virtual machine (QEMU, software
# emulation) boots Debian's own kernel with the host's root file system mounted read-only,
# and inside it the kernel's USB gadget framework and dummy_hcd make a real USB device of
# the simulated card: its serial port through cdc-acm, its hot-plug through udevd, its DFU
# boot loader through usbfs. tests/vm/guest.sh runs there against the build tree's programs.
#
#   scripts/vm-test.sh [BUILD_DIR]      (default: build/default, built beforehand)
#
# The kernel package is fetched through apt into the user's cache folder
# (${XDG_CACHE_HOME:-~/.cache}/caddis/vm) once. Nothing in the machine writes to the host
# except its results folder, BUILD_DIR/vm/results, which is made anew at every run. The
# pass fails when the kernel cannot be had, when the machine does not report within its
# time limit, or when a test inside it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$(pwd -P)
build=$(cd "${1:-build/default}" && pwd -P)
limit=${CADDIS_VM_SECONDS:-1500}
# CADDIS_VM_CASES: the test groups to run, separated by spaces (default: all).
cases=${CADDIS_VM_CASES:-}

scripts/deps.sh --vm

for program in caddis caddis-card-sim; do
  if [ ! -x "$build/bin/$program" ]; then
    echo "scripts/vm-test.sh: $build/bin/$program is missing: build the tree first" >&2
    exit 1
  fi
done

# ---- the kernel ----------------------------------------------------------------------------
cache="${XDG_CACHE_HOME:-${HOME:-/nonexistent}/.cache}/caddis/vm"
mkdir -p "$cache"
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [ -z "$package" ]; then
  echo "scripts/vm-test.sh: apt knows no kernel package for linux-image-amd64" >&2
  exit 1
fi
kver=${package#linux-image-}
kroot="$cache/$kver"
if [ ! -f "$kroot/done" ]; then
  echo "=== vm: fetching $package"
  rm -rf "$kroot" && mkdir -p "$kroot"
  if ! (cd "$kroot" && apt-get download "$package" > download.log 2>&1); then
    echo "scripts/vm-test.sh: cannot fetch $package:" >&2
    cat "$kroot/download.log" >&2
    exit 1
  fi
  dpkg-deb -x "$kroot"/*.deb "$kroot/root"
  depmod -b "$kroot/root" "$kver"
  rm -f "$kroot"/*.deb
  touch "$kroot/done"
fi
kernel="$kroot/root/boot/vmlinuz-$kver"

# ---- the initramfs -------------------------------------------------------------------------
work="$build/vm"
rm -rf "$work/initramfs" "$work/results"
mkdir -p "$work/initramfs"/{bin,dev,proc,sys,newroot,modules/boot,modules/guest} "$work/results"

# The modules a list needs, dependencies first, copied into a folder with their load order.
copy_modules() {
  local into=$1 module
  shift
  : > "$into/order"
  for module in "$@"; do
    modprobe -d "$kroot/root" -S "$kver" --show-depends "$module" | awk '$1 == "insmod" { print $2 }'
  done | awk '!seen[$0]++' | while read -r path; do
    cp "$path" "$into/"
    basename "$path" >> "$into/order"
  done
}
# What mounts the host's root: virtio's PCI transport and 9p over it.
copy_modules "$work/initramfs/modules/boot" virtio_pci 9pnet_virtio 9p
# What the tests use: the software USB host and device controllers, the gadget framework with
# its serial function and GadgetFS, and the host's own serial driver.
copy_modules "$work/initramfs/modules/guest" dummy_hcd libcomposite usb_f_acm gadgetfs cdc-acm

cp "$(command -v busybox)" "$work/initramfs/bin/busybox"
cp tests/vm/init "$work/initramfs/init"
chmod +x "$work/initramfs/init"
(cd "$work/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.cpio.gz"

# ---- the machine ---------------------------------------------------------------------------
echo "=== vm: booting $kver (time limit ${limit} s)"
started=$(date +%s)
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -accel tcg -cpu max -smp 1 -m 2048 -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4 caddis.tree=$tree caddis.build=$build${cases:+ caddis.cases=${cases// /,}}" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$tree,mount_tag=tree,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$build,mount_tag=build,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$work/results,mount_tag=results,security_model=none,multidevs=remap" \
  < /dev/null > "$work/console.log" 2>&1
qemu_status=$?
set -e
echo "=== vm: the machine ran $(( $(date +%s) - started )) s (console: $work/console.log)"

[ -f "$work/results/tests.log" ] && cat "$work/results/tests.log"
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "scripts/vm-test.sh: the machine did not finish within $limit s" >&2
  tail -n 40 "$work/console.log" >&2
  exit 1
fi
if [ ! -f "$work/results/summary" ]; then
  echo "scripts/vm-test.sh: the machine did not report (qemu exit status $qemu_status)" >&2
  tail -n 40 "$work/console.log" >&2
  exit 1
fi
cat "$work/results/summary"
grep -q '^failed 0$' "$work/results/summary"
