#!/usr/bin/env bash
# Renders each page of the setup wizard into docs/setup-pageN.png, and the chat window
# in a room hosted on loopback into docs/chat-panel0.png to chat-panel3.png (menu area
# shown, each panel), docs/chat-hidden.png (menu area hidden) and docs/chat-host-left.png
# (two windows going on in their room after its host quit), under Xvfb when it is
# installed (offscreen otherwise). Uses a throw-away settings file and rooms
# hosted on loopback only. Usage: bash scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/dev}"
if [ ! -x "$build/bin/mirelune" ]; then
    cmake --preset dev >/dev/null
    cmake --build "$build" --target mirelune
fi
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime" QT_FONT_DPI=96
if command -v xvfb-run >/dev/null; then
    xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$build/bin/mirelune" --screenshot docs
else
    QT_QPA_PLATFORM=offscreen "$build/bin/mirelune" --screenshot docs
fi
ls docs/setup-page*.png docs/chat-*.png
