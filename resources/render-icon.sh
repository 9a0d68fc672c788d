#!/bin/sh
# Renders BlackScreenFix.ico from the SVG sources next to this script:
#   256x256 from icon.svg (stored as PNG inside the .ico),
#   48x48   from icon.svg,
#   32x32   from icon-32.svg,
#   16x16   from icon-16.svg (the last three stored as 32-bit BGRA bitmaps).
# The .ico is kept in the repository, so a build needs neither tool; run this again
# only after changing the artwork. Needs rsvg-convert and ImageMagick 6's convert.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/BlackScreenFix.ico"
# A plain "convert" earlier on PATH may be something else: use ImageMagick's own unless told.
CONVERT=${CONVERT:-/usr/bin/convert}
RSVG=${RSVG:-rsvg-convert}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$RSVG" -w 256 -h 256 "$here/icon.svg" -o "$tmp/256.png"
"$RSVG" -w 48 -h 48 "$here/icon.svg" -o "$tmp/48.png"
"$RSVG" -w 32 -h 32 "$here/icon-32.svg" -o "$tmp/32.png"
"$RSVG" -w 16 -h 16 "$here/icon-16.svg" -o "$tmp/16.png"

# -type TrueColorAlpha pins every entry to 32-bit colour with alpha, however few colours
# it has; -strip keeps metadata such as dates out of the PNG entry, so the same SVGs
# always give the same .ico.
"$CONVERT" "$tmp/256.png" "$tmp/48.png" "$tmp/32.png" "$tmp/16.png" \
    -strip -type TrueColorAlpha "$out"
echo "wrote $out"
