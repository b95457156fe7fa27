#!/bin/sh
# Renders the window icon's bitmaps from ferrowarden.svg (the program loads bitmaps, so it
# needs no SVG support at run time). Run after changing the SVG; needs rsvg-convert
# (Debian: librsvg2-bin).
set -e
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" ferrowarden.svg -o "ferrowarden-$size.png"
done
