#!/bin/sh
# Draws the application icon (a reader sending: a dot and three waves in
# white on the navy of the logo) with ImageMagick at 256 px and scales it to
# the installed sizes. Run from this folder: ./draw-icon.sh
set -e
cx=72 cy=128
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The waves: three rings, cut to a quarter turn that opens to the right.
convert -size 256x256 xc:black -fill white \
    -draw "circle $cx,$cy $((cx + 136)),$cy" -fill black -draw "circle $cx,$cy $((cx + 116)),$cy" \
    -fill white -draw "circle $cx,$cy $((cx + 100)),$cy" -fill black -draw "circle $cx,$cy $((cx + 80)),$cy" \
    -fill white -draw "circle $cx,$cy $((cx + 64)),$cy" -fill black -draw "circle $cx,$cy $((cx + 44)),$cy" \
    "$tmp/rings.png"
convert -size 256x256 xc:black -fill white \
    -draw "polygon $cx,$cy $((cx + 200)),$((cy - 200)) $((cx + 200)),$((cy + 200))" "$tmp/wedge.png"
convert "$tmp/rings.png" "$tmp/wedge.png" -compose multiply -composite \
    -fill white -draw "circle $cx,$cy $((cx + 22)),$cy" "$tmp/mask.png"

# The tile, then the white through the mask.
convert -size 256x256 xc:none -fill '#0B2E5C' -stroke '#072B59' -strokewidth 4 \
    -draw 'roundrectangle 8,8 247,247 44,44' "$tmp/tile.png"
convert -size 256x256 xc:white "$tmp/mask.png" -alpha off -compose copy_opacity -composite "$tmp/white.png"
convert "$tmp/tile.png" "$tmp/white.png" -compose over -composite "$tmp/icon.png"

for s in 16 24 32 48 64 128 256; do
    convert "$tmp/icon.png" -filter Lanczos -resize ${s}x${s} -depth 8 -strip "rx-client-$s.png"
done
