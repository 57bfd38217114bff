#!/bin/sh
# Builds the resource generator and writes the built-in sounds, the pictures and the
# default Sounds folder into this folder again. Review the pictures before committing.
#   resources/regenerate.sh [BUILD_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build/resources-generator"}
cmake -S "$here/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRELUNE_TESTS=OFF >/dev/null
cmake --build "$build" --target mirelune-resource-generator
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen QT_FONT_DPI=96 "$build/bin/mirelune-resource-generator" "$here"
# The program's icon: the hand-drawn SVG in every size of the icon theme.
if command -v rsvg-convert >/dev/null; then
    for size in 16 24 32 48 64 128 256; do
        mkdir -p "$here/desktop/icons/${size}x${size}"
        rsvg-convert -w "$size" -h "$size" "$here/desktop/mirelune.svg" -o "$here/desktop/icons/${size}x${size}/mirelune.png"
    done
else
    echo "rsvg-convert (librsvg2-bin) is not installed; the icon's PNG files were left as they are" >&2
fi
