#!/usr/bin/env bash
# Cross-builds assay.exe for 64-bit Windows with mingw-w64 and runs the
# end-to-end tests against it under Wine (headless, in a fresh prefix under
# build-windows). Installs mingw-w64 and Wine (scripts/setup.sh windows) when
# they are missing and the script runs as root.
#   scripts/windows.sh [--check-toolchain] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

have_toolchain() {
  command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null
}
if [ "${1:-}" = "--check-toolchain" ]; then
  have_toolchain
  exit $?
fi
if ! have_toolchain; then
  scripts/setup.sh windows || true
  if ! have_toolchain; then
    echo "windows.sh: mingw-w64 and Wine are needed (apt-get install g++-mingw-w64-x86-64 wine64)" >&2
    exit 2
  fi
fi

# The files apt reads its package sources from, under the directory $1.
apt_source_files() {
  local file
  for file in "$1/sources.list" "$1"/sources.list.d/*.list "$1"/sources.list.d/*.sources; do
    [ -f "$file" ] && echo "$file"
  done
}

# deb-src entries for the release $1 made from the machine's own deb entries
# of it under the apt directory $2, so that the source comes from whichever
# mirror the machine already uses: one-line entries ("deb [options] URI
# suite components") of *.list files to standard output, and deb822 stanzas
# of *.sources files (Types, Suites, URIs, Components, Signed-By...) to the
# file $3.
deb_src_entries() {
  local release=$1 lists=() stanzas=() file
  while read -r file; do
    case "$file" in *.sources) stanzas+=("$file") ;; *) lists+=("$file") ;; esac
  done < <(apt_source_files "$2")
  : > "$3"
  if [ ${#lists[@]} -gt 0 ]; then
    awk -v release="$release" '{
      fields = $0
      sub(/#.*/, "", fields)
      gsub(/\[[^]]*\]/, " ", fields)
      sub(/^[ \t]+/, "", fields)
      split(fields, f, /[ \t]+/)
      if (f[1] != "deb" || f[3] != release) next
      line = $0
      sub(/deb/, "deb-src", line)
      print line
    }' "${lists[@]}"
  fi
  if [ ${#stanzas[@]} -gt 0 ]; then
    awk -v release="$release" '
      function flush() {
        if (is_deb && has_release && enabled != "no") {
          printf "Types: deb-src\nSuites: %s\n%s\n", release, body
        }
        is_deb = 0; has_release = 0; enabled = ""; body = ""; field = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { if (field != "types" && field != "suites") body = body $0 "\n"; next }
      {
        field = tolower($0); sub(/:.*/, "", field)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        n = split(value, words, /[ \t]+/)
        if (field == "types") { for (i = 1; i <= n; i++) if (words[i] == "deb") is_deb = 1; next }
        if (field == "suites") { for (i = 1; i <= n; i++) if (words[i] == release) has_release = 1; next }
        if (field == "enabled") enabled = tolower(value)
        body = body $0 "\n"
      }
      END { flush() }' "${stanzas[@]}" > "$3"
  fi
}

# Adds deb-src entries for this release beside its deb entries when there
# are none, so that apt-get source can fetch Debian's sources.
ensure_deb_src() {
  mapfile -t apt_files < <(apt_source_files /etc/apt)
  if [ ${#apt_files[@]} -eq 0 ] ||
     ! grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' "${apt_files[@]}"; then
    . /etc/os-release
    added=/etc/apt/sources.list.d/assay-deb-src
    deb_src_entries "$VERSION_CODENAME" /etc/apt "$added.sources" > "$added.list"
    [ -s "$added.list" ] || rm -f "$added.list"
    [ -s "$added.sources" ] || rm -f "$added.sources"
    if [ ! -f "$added.list" ] && [ ! -f "$added.sources" ]; then
      echo "windows.sh: no deb entry for $VERSION_CODENAME in the apt sources to take sources from" >&2
      exit 2
    fi
    apt-get update >/dev/null
  fi
  command -v dpkg-source >/dev/null || apt-get install -y dpkg-dev >/dev/null
}

# Debian's source package $1, unpacked (its patches applied) into the new
# directory $2.
fetch_source() {
  local fetched
  ensure_deb_src
  fetched=$(mktemp -d)
  (cd "$fetched" && apt-get source "$1" >/dev/null)
  mkdir -p "$(dirname "$2")"
  rm -rf "$2"
  mv "$fetched"/"$1"-*/ "$2"
  rm -rf "$fetched"
}

# pugixml (the XML spectrum formats) and SQLite (the results database) have
# no mingw-w64 packages: Debian's sources are fetched once and compiled into
# the cross build.
pugixml_source=$root/build-windows/pugixml-source
[ -f "$pugixml_source/src/pugixml.cpp" ] || fetch_source pugixml "$pugixml_source"

# SQLite's source package is its full tree; the one-file form the build
# compiles (sqlite3.c and sqlite3.h) is generated from it with its own
# tools, which need Tcl and the native compiler.
sqlite_source=$root/build-windows/sqlite-amalgamation
if [ ! -f "$sqlite_source/sqlite3.c" ]; then
  command -v tclsh >/dev/null || apt-get install -y tcl >/dev/null
  tree=$root/build-windows/sqlite-source
  fetch_source sqlite3 "$tree"
  rm -rf "$tree/build" && mkdir "$tree/build"
  (cd "$tree/build" && ../configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
  mkdir -p "$sqlite_source"
  cp "$tree/build/sqlite3.c" "$tree/build/sqlite3.h" "$sqlite_source/"
fi

cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DASSAY_TESTS=OFF -DASSAY_PUGIXML_SOURCE="$pugixml_source" \
  -DASSAY_SQLITE_SOURCE="$sqlite_source" >/dev/null
cmake --build build-windows -j2 --target assay

export WINEPREFIX=$root/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1 || true
wineserver --persistent=300 2>/dev/null || true

# The tests' view of the Windows program: it runs assay.exe and checks that
# every line end it wrote to the console and to result.txt is CR LF (as a
# Windows program's text files have), then turns them into LF, so the
# expectations of the Linux run hold unchanged. method.txt (CR LF everywhere)
# and the report (LF everywhere) are left exactly as written.
wrapper=$root/build-windows/assay-under-wine
cat > "$wrapper" <<WRAPPER
#!/bin/sh
export WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exe="$root/build-windows/assay.exe"
WRAPPER
cat >> "$wrapper" <<'WRAPPER'
dir=.
prev=
for arg in "$@"; do
  case "$prev" in -C|--directory) dir=$arg ;; esac
  case "$arg" in --directory=*) dir=${arg#--directory=} ;; esac
  prev=$arg
done
marker=$(mktemp) out=$(mktemp) err=$(mktemp)
sleep 0.01
wine "$exe" "$@" >"$out" 2>"$err"
status=$?
# Wine's client losing its server (on a loaded machine) says nothing of the
# program, nor does a run that wrote nothing on either stream, which no run
# of the program does (it was never started): that run is started again, once.
if grep -q '^wine client error' "$err" || { [ ! -s "$out" ] && [ ! -s "$err" ]; }; then
  sleep 1
  wine "$exe" "$@" >"$out" 2>"$err"
  status=$?
fi
crlf_to_lf() {
  perl -e 'local $/; my $s = <STDIN>; exit 3 if $s =~ /(?<!\r)\n/; $s =~ s/\r\n/\n/g; print $s'
}
bad=0
crlf_to_lf <"$out" || { bad=1; cat "$out"; }
crlf_to_lf <"$err" >&2 || { bad=1; cat "$err" >&2; }
result="$dir/result.txt"
if [ -f "$result" ] && [ ! -L "$result" ] && [ "$result" -nt "$marker" ]; then
  if crlf_to_lf <"$result" >"$result.lf"; then mv "$result.lf" "$result"; else bad=1; rm -f "$result.lf"; fi
fi
rm -f "$marker" "$out" "$err"
if [ $bad != 0 ]; then
  echo "assay-under-wine: a line end written in text mode was not CR LF" >&2
  exit 97
fi
exit $status
WRAPPER
chmod +x "$wrapper"

# The end-to-end tests of the native build, pointed at the wrapper.
cmake -S . -B build >/dev/null
cmake --build build -j2 --target assay_e2e_tests
# Left out: killing a run and measuring its memory concern the process, which
# under Wine is not the program itself; and file names holding quotes,
# backslashes, control characters or bytes that are not UTF-8 cannot exist on
# Windows.
ASSAY_TEST_EXE="$wrapper" ctest --test-dir build -L e2e -E 'KilledRun|LargeRun|FileNamesWithAnyBytes' \
  --output-on-failure "$@"
