#!/usr/bin/env bash
# Renders each page of the setup wizard into docs/setup-pageN.png, and the chat window
# in a room hosted on loopback into docs/chat-panel0.png to chat-panel3.png (menu area
# shown, each panel), docs/chat-hidden.png (menu area hidden), docs/chat-find.png (the
# find bar open), docs/chat-notice.png (the desktop's notice of new lines) and
# docs/chat-host-left.png (two windows going on in their room after its host quit),
# under Xvfb when it is installed (offscreen otherwise). The notice needs a session bus
# and a notification service of the script's own on that display: dbus-daemon and
# dunst (installed when missing). Uses a throw-away settings file and rooms hosted on
# loopback only. Usage: bash scripts/screenshots.sh [BUILD_DIR]
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
# The desktop the script is run from is never told anything.
export XDG_RUNTIME_DIR="$runtime" QT_FONT_DPI=96 DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/no-bus"
if ! command -v xvfb-run >/dev/null; then
    QT_QPA_PLATFORM=offscreen "$build/bin/mirelune" --screenshot docs
    ls docs/setup-page*.png docs/chat-*.png
    exit
fi
bash scripts/setup.sh dunst >/dev/null
cat >"$runtime/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:dir=$runtime</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>
CONF
cat >"$runtime/dunstrc" <<'CONF'
[global]
font = IPAGothic 10
width = 320
origin = top-right
offset = 12x12
frame_width = 1
frame_color = "#8a8a8a"
show_indicators = no
[urgency_normal]
background = "#f4f4f4"
foreground = "#202020"
timeout = 0
CONF
export MIRELUNE_BUILD="$build" MIRELUNE_RUNTIME="$runtime"
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
    set -euo pipefail
    dbus-daemon --nofork --print-address=3 --config-file "$MIRELUNE_RUNTIME/bus.conf" 3>"$MIRELUNE_RUNTIME/bus" &
    bus=$!
    for _ in $(seq 50); do [ -s "$MIRELUNE_RUNTIME/bus" ] && break; sleep 0.1; done
    DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$MIRELUNE_RUNTIME/bus")"
    export DBUS_SESSION_BUS_ADDRESS MIRELUNE_SCREENSHOT_NOTICE=1
    dunst -config "$MIRELUNE_RUNTIME/dunstrc" 2>/dev/null &
    dunst=$!
    sleep 0.5
    status=0
    "$MIRELUNE_BUILD/bin/mirelune" --screenshot docs || status=$?
    kill "$dunst" "$bus"
    exit "$status"
'
ls docs/setup-page*.png docs/chat-*.png
