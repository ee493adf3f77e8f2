#!/usr/bin/env bash
# Renders the window's artwork from its SVG sources in app/artwork/ into the PNG files the
# program compiles in (app/artwork/png/). Run it after changing an SVG and commit both;
# building the program needs only the PNG files. Needs rsvg-convert (Debian librsvg2-bin).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../app/artwork"
command -v rsvg-convert >/dev/null ||
  { echo "render-artwork: rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }
mkdir -p png
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" pellamar.svg -o "png/pellamar-$size.png"
done
for picture in resolver listar-dns acerca-de; do
  rsvg-convert -w 16 -h 16 "$picture.svg" -o "png/$picture.png"
  rsvg-convert -w 32 -h 32 "$picture.svg" -o "png/$picture@2x.png"
done
rsvg-convert -w 416 -h 55 banner.svg -o png/banner.png
rsvg-convert -w 832 -h 110 banner.svg -o png/banner@2x.png
echo "render-artwork: done"
