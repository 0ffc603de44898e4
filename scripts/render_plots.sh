#!/bin/sh
# Renders the pictures written by `assay --plot DIR` to PNG with headless
# chromium, to look at them (or check them) without a browser window.
#
#   scripts/render_plots.sh DIR [PICTURE] [OUT]
#
# DIR      directory holding index.html and the SVG pictures
# PICTURE  the SVG to render (a file name in DIR); default: the first in DIR
# OUT      where the PNGs go (created if missing); default: DIR
#
# Writes OUT/index.png (the index page, 1280 x 900) and OUT/<PICTURE>.png
# (the picture at its own size, 1000 x 640). The browser is $CHROMIUM, else
# chromium. Exit status 0 when both images were written.
set -eu

usage() {
    echo "usage: $0 DIR [PICTURE] [OUT]" >&2
    exit 2
}

if [ $# -lt 1 ] || [ $# -gt 3 ]; then usage; fi
dir=$1
[ -d "$dir" ] || { echo "$0: $dir is not a directory" >&2; exit 2; }
dir=$(cd "$dir" && pwd)

if [ $# -ge 2 ] && [ -n "$2" ]; then
    picture=$2
else
    picture=
    for file in "$dir"/*.svg; do
        if [ -f "$file" ]; then picture=${file##*/}; break; fi
    done
    [ -n "$picture" ] || { echo "$0: no SVG in $dir" >&2; exit 1; }
fi
[ -f "$dir/$picture" ] || { echo "$0: $dir/$picture not found" >&2; exit 1; }

out=${3:-$dir}
mkdir -p "$out"
out=$(cd "$out" && pwd)

browser=${CHROMIUM:-chromium}
command -v "$browser" >/dev/null 2>&1 || { echo "$0: $browser not found" >&2; exit 1; }

# A throw-away profile: nothing of the user's browser is read or changed.
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT INT TERM

# file:// URL of a path: percent-encode everything but unreserved characters and "/".
file_url() {
    printf 'file://'
    printf '%s' "$1" | od -An -v -tx1 | tr ' ' '\n' | sed '/^$/d' | while read -r hex; do
        case $hex in
            2d|2e|2f|3[0-9]|4[1-9a-f]|5[0-9a]|5f|6[1-9a-f]|7[0-9a]|7e)
                # The format is the octal escape of the byte itself.
                # shellcheck disable=SC2059
                printf "\\$(printf '%03o' "0x$hex")" ;;
            *) printf '%%%s' "$(echo "$hex" | tr a-f A-F)" ;;
        esac
    done
}

shoot() {  # URL WIDTH HEIGHT PNG
    rm -f "$4"
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --hide-scrollbars --user-data-dir="$profile" --window-size="$2,$3" \
        --screenshot="$4" "$1" >/dev/null 2>&1 || true
    [ -s "$4" ] || { echo "$0: rendering $1 failed" >&2; exit 1; }
    echo "$4"
}

shoot "$(file_url "$dir/index.html")" 1280 900 "$out/index.png"
shoot "$(file_url "$dir/$picture")" 1000 640 "$out/${picture%.svg}.png"
