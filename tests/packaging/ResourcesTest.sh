#!/usr/bin/env bash
# Reads the resources of both Windows programs back from the files: a manifest (run as the
# user, Windows 10/11, per-monitor scaling, long paths), an icon and a version resource, whose
# version is the one caddis.exe --version shows.
#   ResourcesTest.sh OBJDUMP WINDRES CADDIS.EXE CADDIS-UPDATER.EXE
# Needs WINEPREFIX set to a prepared prefix whose server is running.
set -uo pipefail
objdump=$1 windres=$2 caddis=$3 window=$4
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# "caddis 0.1.0": the version the command line shows.
shown=$(wine "$caddis" --version 2> /dev/null | tr -d '\r' | sed -n 's/^caddis //p')
[ -n "$shown" ] || fail "caddis.exe --version shows no version"
echo "     caddis.exe --version: $shown"

for exe in "$caddis" "$window"; do
  name=$(basename "$exe")
  # The resource types objdump finds in the file's resource directory (version 16, manifest 24,
  # group icon 14), read from its type table: the entries three spaces in.
  types=$("$objdump" -p "$exe" | sed -n '/Resource Directory section/,/^$/p' |
          sed -n 's/^[0-9a-f]\{3\}   Entry: ID: 0x\([0-9a-f]*\),.*/\1/p')
  for want in 000010:version 000018:manifest 00000e:icon; do
    grep -qx "${want%%:*}" <<< "$types" || fail "$name has no $(echo "${want#*:}") resource"
  done
  rc=$("$windres" -i "$exe" -O rc 2> /dev/null)
  for value in FileVersion ProductVersion; do
    got=$(sed -n "s/^ *VALUE \"$value\", \"\(.*\)\"/\1/p" <<< "$rc")
    [ "$got" = "$shown" ] || fail "$name: $value is \"$got\", --version shows \"$shown\""
  done
  numbers=$(sed -n 's/^ *FILEVERSION \([0-9]*\), \([0-9]*\), \([0-9]*\), 0$/\1.\2.\3/p' <<< "$rc")
  [ "$numbers" = "$shown" ] || fail "$name: FILEVERSION $numbers, --version shows \"$shown\""
  # The manifest as its bytes: well-formed, and saying what Windows must be told.
  manifest=$(sed -n '/RT_MANIFEST/,/^END/p' <<< "$rc" | sed -n 's/^  "\(.*\)"$/\1/p' |
             sed 's/\\n$//; s/""/"/g')
  if ! xmllint --noout - <<< "$manifest" 2> /dev/null; then
    fail "$name: the manifest is not well-formed XML"
  fi
  for want in 'level="asInvoker"' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' \
              '>PerMonitorV2</dpiAwareness>' '>true</longPathAware>' "version=\"$shown.0\""; do
    grep -qF -- "$want" <<< "$manifest" || fail "$name: the manifest lacks $want"
  done
  [ "$failures" -eq 0 ] && echo "ok   $name: manifest, icon, version $shown"
done
exit $((failures > 0))
