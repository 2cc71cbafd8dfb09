#!/bin/bash
# Configures and builds one CMake preset (debug, ci or release) with two jobs.
# GARVINA_UPGRADE_PUBLIC_KEY_FILE names the release key the build trusts (docs/releasing.md).
set -euo pipefail
preset=${1:-release}
cd "$(dirname "$0")/.."
key=()
if [ -n "${GARVINA_UPGRADE_PUBLIC_KEY_FILE:-}" ]; then
    key=("-DGARVINA_UPGRADE_PUBLIC_KEY_FILE=$(readlink -f -- "$GARVINA_UPGRADE_PUBLIC_KEY_FILE")")
fi
cmake --preset "$preset" "${key[@]}" >/dev/null
cmake --build --preset "$preset"
