#!/usr/bin/env bash
# Installs what is missing, builds Mirelune with its tests and runs them all.
# Extra arguments go to CMake's configure step (CI passes -DMIRELUNE_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${MIRELUNE_PRESET:-dev}"
bash scripts/setup.sh
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
