#!/usr/bin/env bash
# Draws the control panel's two bitmaps (24 bits per pixel, as the dialog
# expects) into resources/. Needs ImageMagick and the DejaVu fonts; the
# results are committed, so the build itself does not run this.
set -euo pipefail
cd "$(dirname "$0")/../resources"

ink='#f2f4f5'
accent='#2bb3a0'
background='#1d2329'

# Wordmark, 100 x 34.
convert -size 100x34 "xc:$background" \
  -font DejaVu-Sans-Bold -pointsize 19 -fill "$ink" -gravity center -annotate +0-1 'Vor OD' \
  -fill "$accent" -draw 'rectangle 14,29 86,30' \
  -alpha off -type TrueColor BMP3:wordmark.bmp

# Banner, 486 x 100: the name on the left, sixteen input meters on the right.
meters=()
for i in $(seq 0 15); do
  x=$((300 + i * 11))
  level=$(( (i * 37 + 11) % 53 + 18 ))
  top=$((84 - level))
  meters+=(-fill '#3a444d' -draw "rectangle $x,14 $((x + 6)),84")
  meters+=(-fill "$accent" -draw "rectangle $x,$top $((x + 6)),84")
done
convert -size 100x486 gradient:'#27313a'-"$background" -rotate 90 \
  -font DejaVu-Sans-Bold -pointsize 40 -fill "$ink" -gravity west -annotate +22-8 'Vor OD' \
  -font DejaVu-Sans -pointsize 13 -fill "$accent" -gravity west -annotate +25+26 'Q U O R V E X' \
  -gravity northwest "${meters[@]}" \
  -alpha off -type TrueColor BMP3:banner.bmp

identify wordmark.bmp banner.bmp
