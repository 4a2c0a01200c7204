#!/usr/bin/env bash
# scripts/apt-source.sh against made-up apt configurations: which files and stanzas count as
# configured sources, and the deb-src lines each gives.
#   AptSourceTest.sh APT_SOURCE_SH
set -uo pipefail
helper=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME EXPECTED_LINES: the lines for the configuration in $work/etc, in order.
check() {
  local got
  got=$(APT_SOURCE_LIST="$work/etc/sources.list" APT_SOURCE_PARTS="$work/etc/parts" \
    bash -c '. "$1" && apt_source_lines "$2"' _ "$helper" "$work/keys")
  if [ "$got" = "$2" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    diff <(echo "$2") <(echo "$got") | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}
fresh() { rm -rf "$work/etc" "$work/keys"; mkdir -p "$work/etc/parts"; }

fresh
cat > "$work/etc/sources.list" <<'LIST'
# a comment line
deb [arch=amd64 signed-by=/k/one.gpg] http://mirror.invalid/debian stable main contrib # note
deb-src http://mirror.invalid/debian stable main
  deb http://indented.invalid/debian stable main
rpm http://other.invalid/ x y
#deb http://commented.invalid/debian stable main
LIST
check "one-line sources: options kept, deb and deb-src alike, others dropped" \
"deb-src [arch=amd64 signed-by=/k/one.gpg] http://mirror.invalid/debian stable main contrib
deb-src http://mirror.invalid/debian stable main
deb-src http://indented.invalid/debian stable main"

fresh
cat > "$work/etc/parts/main.sources" <<'DEB822'
Types: deb
URIs: http://a.invalid/debian
Suites: stable stable-updates
Components: main non-free-firmware
Signed-By: /usr/share/keyrings/a.gpg

# A stanza turned off stays off.
Types: deb deb-src
URIs: http://off.invalid/debian
Suites: stable
Components: main
Enabled: no

Types: deb
URIs: http://b.invalid/one http://b.invalid/two
Suites: flat/
Architectures: amd64 arm64
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 bWFkZS11cA==
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb-src
URIs: http://a.invalid/debian
Suites: stable
Components: main non-free-firmware
Signed-By: /usr/share/keyrings/a.gpg
DEB822
check "deb822 stanzas: a line per suite and address, flat suites without components" \
"deb-src [signed-by=/usr/share/keyrings/a.gpg] http://a.invalid/debian stable main non-free-firmware
deb-src [signed-by=/usr/share/keyrings/a.gpg] http://a.invalid/debian stable-updates main non-free-firmware
deb-src [signed-by=$work/keys/main-1.asc arch=amd64,arm64] http://b.invalid/one flat/
deb-src [signed-by=$work/keys/main-1.asc arch=amd64,arm64] http://b.invalid/two flat/"
if printf -- '-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nbWFkZS11cA==\n-----END PGP PUBLIC KEY BLOCK-----\n' |
   cmp -s - "$work/keys/main-1.asc"; then
  echo "ok   an inline key is written out whole, its blank line restored"
else
  echo "FAIL the inline key file differs:"
  sed 's/^/    /' "$work/keys/main-1.asc"
  failures=$((failures + 1))
fi

fresh
echo 'deb http://listed.invalid/debian stable main' > "$work/etc/parts/listed.list"
for off in listed.list.disabled other.sources.disabled old.list.save backup.sources~; do
  echo 'deb http://off.invalid/debian stable main' > "$work/etc/parts/$off"
done
printf 'Types: deb\nURIs: http://off.invalid/\nSuites: x\nComponents: main\n' \
  > "$work/etc/parts/two.sources.disabled"
check "only .list and .sources files are read" \
"deb-src http://listed.invalid/debian stable main"

fresh
check "no sources configured: no lines" ""

[ "$failures" -eq 0 ]
