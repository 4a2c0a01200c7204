#!/usr/bin/env bash
# Unpacks caddis-windows.zip into a fresh folder and runs both programs from there under Wine:
# each must start with only what the zip holds, and import no DLL beyond those every Windows
# has. caddis.exe answers --help, ports and dfu list; caddis-updater.exe opens its window on
# the Windows platform plugin and paints it.
#   RunFromZip.sh ZIP OBJDUMP
# Needs WINEPREFIX set to a prepared prefix whose server is running.
set -uo pipefail
zip=$1
objdump=$2
work=$(mktemp -d /tmp/caddis-zip-XXXXXX)
window_pid=
cleanup() {
  [ -n "$window_pid" ] && kill "$window_pid" 2> /dev/null && wait "$window_pid" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

unzip -q "$zip" -d "$work" || { echo "cannot unpack $zip"; exit 1; }
for f in caddis.exe caddis-updater.exe README.txt; do
  [ -f "$work/caddis/$f" ] || fail "the zip has no caddis/$f"
done
grep -q 'caddis-updater' "$work/caddis/README.txt" || fail "the README does not say how to start the window"
grep -q 'WinUSB' "$work/caddis/README.txt" || fail "the README lost the boot loader's driver step"

# The DLLs every 64-bit Windows 10 has in its system folder. The C++ runtime, libusb and Qt
# are linked into the programs; a DLL outside this list would have to travel with them.
system_dlls=(advapi32.dll authz.dll comdlg32.dll d3d11.dll d3d9.dll dwmapi.dll dxgi.dll gdi32.dll
  imm32.dll kernel32.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shcore.dll
  shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll winmm.dll ws2_32.dll
  wtsapi32.dll)
for exe in caddis.exe caddis-updater.exe; do
  [ -f "$work/caddis/$exe" ] || continue
  imports=$("$objdump" -p "$work/caddis/$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || fail "$objdump lists no imports of $exe"
  for dll in $imports; do
    case "$dll" in
      api-ms-win-*) ;;  # the system's own API sets
      *) [[ " ${system_dlls[*]} " == *" $dll "* ]] || fail "$exe needs $dll, which the zip does not carry" ;;
    esac
  done
  echo "ok   $exe imports: $(echo $imports)"
done

# The programs run from the unpacked folder: the build tree's folders are not on their path.
# Their folders (port list, virtual USB bus, log) are the test's own.
export CADDIS_RUNTIME_DIR=$work/run CADDIS_CONFIG_DIR=$work/config CADDIS_LOG_DIR=$work
cd "$work"
for args in "--help" "ports" "dfu list"; do
  # shellcheck disable=SC2086
  if out=$(wine "$work/caddis/caddis.exe" $args 2>&1); then
    echo "ok   caddis.exe $args: exit 0"
  else
    fail "caddis.exe $args ended with $?"
    echo "$out" | sed 's/^/    /'
  fi
  [ "$args" != "--help" ] || grep -q "Usage: caddis" <<< "$out" || fail "caddis.exe --help printed no usage"
done

# The window paints once and says which platform plugin drew it.
stamp=$work/stamp
CADDIS_STARTUP_STAMP=$(winepath -w "$stamp" 2> /dev/null) wine "$work/caddis/caddis-updater.exe" \
  > "$work/window.out" 2>&1 &
window_pid=$!
for _ in $(seq 600); do grep -q '^platform ' "$stamp" 2> /dev/null && break; sleep 0.1; done
if grep -q '^platform windows$' "$stamp" 2> /dev/null; then
  echo "ok   caddis-updater.exe painted its window on the windows platform plugin"
else
  fail "caddis-updater.exe did not paint on the windows platform plugin"
  sed 's/^/    /' "$stamp" "$work/window.out" 2> /dev/null
fi

[ "$failures" -eq 0 ]
