#!/usr/bin/env bash
# Installs what is missing, builds Mirelune (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/bin/mirelune "$@"
