#!/usr/bin/env bash
# Installs what building and testing Mirelune needs on Debian 12, when it is missing.
# Run by run.sh, test.sh and fuzz.sh; safe to run again (it installs nothing twice).
# Extra package names given as arguments are installed too.
set -euo pipefail

mirelune_packages=(
    cmake ninja-build g++ ccache pkg-config
    qt6-base-dev qt6-multimedia-dev qt6-translations-l10n libminiupnpc-dev libicu-dev libsodium-dev libssl-dev
    libgtest-dev libgmock-dev
    # The independent Noise implementation the handshake is checked against.
    python3-dissononce
    # Ed25519 and ChaCha20-Poly1305 for the client written from docs/protocol.md alone.
    python3-nacl
    fonts-ipafont-gothic fonts-noto-color-emoji
    pulseaudio pulseaudio-utils
    iproute2 xvfb xauth
    # The session bus the notification test starts for itself.
    dbus-daemon
    dpkg-dev file desktop-file-utils appstream nftables
    # Rooms on a NATS cluster: the C client (which needs libprotobuf-c1 at run time) and
    # the server the tests start.
    libnats-dev libprotobuf-c1 nats-server
    # The router the port-mapping test runs: only the daemon's binary, which starts
    # nothing and asks nothing when installed (the package "miniupnpd" would set up a
    # system service).
    miniupnpd-nftables
    "$@"
)

missing=()
for package in "${mirelune_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo_cmd=(sudo)
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
