# Fetches Debian source packages through a private apt configuration, for the scripts that
# build a Windows library from Debian's sources. Its package sources are the machine's own
# configured apt sources (so a mirror or proxy set up on the machine is used), turned into
# deb-src lines; the system's package lists are neither read nor changed, and no host is named
# here. Sourced, not run:
#   . scripts/apt-source.sh
#   apt_source_init WORK          # WORK/sources.list and an empty apt state under WORK
#   apt_source_fetch WORK PACKAGE # downloads and unpacks PACKAGE's source (patches applied)
#                                 # into WORK/src; prints the unpacked folder
# apt_source_lines writes the deb-src lines alone. The configuration read is apt's own
# (Dir::Etc::SourceList and Dir::Etc::SourceParts); APT_SOURCE_LIST and APT_SOURCE_PARTS
# override it, for tests.

# One-line format: "deb [options] URI SUITE [COMPONENT...]". Both deb and deb-src lines give a
# deb-src line with the same options; comments and other types are dropped.
_apt_source_from_list() {
  sed -e 's/#.*//' "$1" | awk '
    $1 == "deb" || $1 == "deb-src" {
      $1 = "deb-src"
      print
    }'
}

# deb822 format: stanzas separated by blank lines; a field may continue on lines starting with
# white space (an inline Signed-By key does). A stanza with "Enabled: no" is skipped. Each
# suite gives one line. An inline key is written to a file under KEYS and named by path.
_apt_source_from_deb822() {
  local file="$1" keys="$2"
  awk -v keys="$keys" -v stem="$(basename "$file" .sources)" '
    function flush(   n, s, i, suites, opts, key, line) {
      if (!("types" in f) || !("uris" in f) || !("suites" in f)) { reset(); return }
      if (tolower(f["enabled"]) == "no" || f["types"] !~ /(^| )deb(-src)?( |$)/) { reset(); return }
      opts = ""
      if ("signed-by" in f) {
        key = f["signed-by"]
        if (key ~ /BEGIN PGP/) {
          stanza_no++
          path = keys "/" stem "-" stanza_no ".asc"
          printf "%s\n", key > path
          close(path)
          key = path
        }
        opts = opts " signed-by=" key
      }
      if ("architectures" in f) { a = f["architectures"]; gsub(/ +/, ",", a); opts = opts " arch=" a }
      if ("trusted" in f) opts = opts " trusted=" f["trusted"]
      if (opts != "") opts = " [" substr(opts, 2) "]"
      n = split(f["suites"], suites, / +/)
      m = split(f["uris"], uris, / +/)
      for (u = 1; u <= m; u++)
        for (i = 1; i <= n; i++) {
          line = "deb-src" opts " " uris[u] " " suites[i]
          if (suites[i] !~ /\/$/ && ("components" in f)) line = line " " f["components"]
          print line
        }
      reset()
    }
    function reset() { delete f; last = "" }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ {
      if (last == "") next
      v = $0; sub(/^[ \t]+/, "", v)
      if (v == ".") v = ""
      if (f[last] == "") f[last] = v
      else f[last] = (last == "signed-by") ? f[last] "\n" v : f[last] " " v
      next
    }
    {
      i = index($0, ":")
      if (i == 0) next
      last = tolower(substr($0, 1, i - 1))
      v = substr($0, i + 1); sub(/^[ \t]+/, "", v); sub(/[ \t]+$/, "", v)
      f[last] = v
    }
    END { flush() }' "$file" | sed -e 's/  */ /g' -e 's/ *$//'
}

# Prints the deb-src lines for every enabled source of this machine, each once. Inline keys
# are written under the folder given (default: a temporary one).
apt_source_lines() {
  local keys="${1:-$(mktemp -d)}" list parts file
  mkdir -p "$keys"
  list="${APT_SOURCE_LIST-}"
  parts="${APT_SOURCE_PARTS-}"
  if [ -z "$list" ] || [ -z "$parts" ]; then
    local Dir_Etc_SourceList='' Dir_Etc_SourceParts=''
    eval "$(apt-config shell Dir_Etc_SourceList Dir::Etc::SourceList/f \
                             Dir_Etc_SourceParts Dir::Etc::SourceParts/d)"
    list="${list:-$Dir_Etc_SourceList}"
    parts="${parts:-$Dir_Etc_SourceParts}"
  fi
  {
    if [ -f "$list" ]; then _apt_source_from_list "$list"; fi
    # apt itself reads only these two name patterns; anything else (".disabled", ".save",
    # editor backups) is not a configured source.
    for file in "${parts%/}"/*.list; do
      if [ -f "$file" ]; then _apt_source_from_list "$file"; fi
    done
    for file in "${parts%/}"/*.sources; do
      if [ -f "$file" ]; then _apt_source_from_deb822 "$file" "$keys"; fi
    done
  } | awk '!seen[$0]++'
}

apt_source_init() {
  local work="$1"
  rm -rf "$work"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/keys" \
    "$work/src"
  apt_source_lines "$work/keys" > "$work/sources.list"
  if [ ! -s "$work/sources.list" ]; then
    echo "no apt package sources are configured on this machine" >&2
    return 1
  fi
  apt_private=(
    -o "Dir::Etc::SourceList=$work/sources.list"
    -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache"
    -o Debug::NoLocking=1
    -o "APT::Sandbox::User=$(id -un)"
  )
  apt-get -qq "${apt_private[@]}" update
}

apt_source_fetch() {
  local work="$1" package="$2" dsc
  (cd "$work/src" && apt-get -qq "${apt_private[@]}" source --download-only "$package") >&2
  dsc="$(ls "$work"/src/*.dsc | head -n 1)"
  # dpkg-source unpacks the original sources and applies Debian's patches.
  (cd "$work/src" && dpkg-source --no-copy -x "$dsc" unpacked) > "$work/dpkg-source.log" 2>&1 ||
    { cat "$work/dpkg-source.log" >&2; return 1; }
  echo "$work/src/unpacked"
}
