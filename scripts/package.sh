#!/usr/bin/env bash
# Builds the release preset and the Debian package of it, and prints the package's
# name. Install it with `sudo apt install ./build/release/mirelune_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release "$@" >/dev/null
cmake --build --preset release --target mirelune mirelune-room
(cd build/release && rm -f mirelune_*.deb && cpack -G DEB >/dev/null)
ls build/release/mirelune_*.deb
