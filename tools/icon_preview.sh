#!/usr/bin/env bash
# Renders the four status icons blended over a test picture, through the icon
# module itself, into a PNG for a look by eye.
# Usage: tools/icon_preview.sh [build directory] [output.png]
set -euo pipefail
build=${1:-build}
out=${2:-$build/icon_preview.png}
raw=$(mktemp)
trap 'rm -f "$raw"' EXIT
VELMOR_ICON_PREVIEW="$raw" "$build/tests/icon_test" \
    --gtest_filter=IconImages.BlendOverTestPicture >/dev/null
# Doubled in size so that single pixels can be made out.
ffmpeg -loglevel error -y -f rawvideo -pix_fmt rgb565le -s 320x120 -i "$raw" \
    -vf scale=640:240:flags=neighbor "$out"
echo "$out"
