#!/usr/bin/env bash
# Installs the Debian packages the project needs, with apt-get as root, and
# only those that are missing:
#   scripts/setup.sh            what the build and the test suite need
#   scripts/setup.sh windows    also mingw-w64, Wine and Tcl (for SQLite's one-file
#                               source) for the Windows run
#   scripts/setup.sh fuzz       also clang and its libFuzzer runtime
#   scripts/setup.sh batch      also GNU parallel, Slurm and munge, for the
#                               many-directories checks
#   scripts/setup.sh browser    also Chromium, for the trend pages' browser test
#   scripts/setup.sh all        all of them
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          libboost-math-dev libpugixml-dev libsqlite3-dev libtomlplusplus-dev python3)
for part in "$@"; do
  case "$part" in
    windows) packages+=(g++-mingw-w64-x86-64 wine64 tcl) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    batch) packages+=(parallel slurm-wlm munge) ;;
    browser) packages+=(chromium) ;;
    all) packages+=(g++-mingw-w64-x86-64 wine64 tcl clang libclang-rt-14-dev parallel slurm-wlm munge chromium) ;;
    *) echo "setup.sh: unknown part '$part'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "setup.sh: missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "${missing[@]}" >/dev/null 2>&1 \
  || { apt-get update >/dev/null && apt-get install -y "${missing[@]}" >/dev/null; }
