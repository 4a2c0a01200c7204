#!/bin/bash
# The virtual machine's test run (its first process after the initramfs): loads the USB
# modules, starts udevd, makes the simulated card's serial gadget, runs every test group of
# tests/vm/cases.sh and writes the results where the host reads them, then powers off.
#   guest.sh TREE BUILD
tree=$1
build=$2
results=/run/caddis-vm/results
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:$build/bin
export HOME=/tmp/home XDG_RUNTIME_DIR=/run/user/0 LANG=C.UTF-8 TERM=dumb
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
ln -sf /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr
exec > >(tee "$results/tests.log" > /dev/console) 2>&1

power_off() {
  sync
  sleep 1
  echo o > /proc/sysrq-trigger
  sleep 60
}

echo "=== vm: $(uname -r), $(nproc) processors"
mkdir -p /dev/pts /dev/shm
mount -t devpts -o ptmxmode=0666 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
for module in $(cat /run/caddis-vm/modules/order); do
  insmod "/run/caddis-vm/modules/$module" || echo "vm: cannot load $module"
done
mount -t configfs configfs /sys/kernel/config
# The groups to run (all when the kernel's command line names none).
cases=$(sed -n 's/.*caddis\.cases=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -n "$cases" ] && export CADDIS_VM_CASES=${cases//,/ }

# udevd with the host's rules and the card's own rule, as the package installs it.
mkdir -p /run/udev/rules.d
cp "$tree/packaging/60-caddis-serial.rules" /run/udev/rules.d/
udevd=$(ls /usr/lib/systemd/systemd-udevd /lib/systemd/systemd-udevd 2> /dev/null | head -n 1)
"$udevd" --daemon
udevadm trigger --action=add
udevadm settle --timeout=30

. "$tree/tests/vm/cases.sh"
run_all_cases
echo "passed $passed" > "$results/summary"
echo "failed $failed" >> "$results/summary"
power_off
