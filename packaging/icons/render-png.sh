#!/bin/sh
# Renders the PNG sizes of the application icon from the same geometry as
# com.vellumark.desktop.svg (ImageMagick draws it; no SVG renderer needed).
# Run after changing the SVG: ./render-png.sh, then commit the PNGs.
set -eu
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256 512; do
  convert -size 1024x1024 xc:none \
    -fill '#F4F1EA' -draw "roundrectangle 64,64 959,959 176,176" \
    -fill '#124E98' -draw "polygon 260,288 396,288 512,596 628,288 764,288 576,784 448,784" \
    -fill '#E8A33D' -draw "rectangle 288,832 739,875" \
    -filter Lanczos -resize "${size}x${size}" -strip "PNG32:com.vellumark.desktop-$size.png"
done
