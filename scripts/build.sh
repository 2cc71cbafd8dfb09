#!/bin/bash
# Configures and builds one CMake preset (debug, ci or release) with two jobs.
set -euo pipefail
preset=${1:-release}
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
