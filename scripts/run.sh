#!/bin/bash
# Installs what is missing, builds the console, lays out the program folder dist/ and starts the
# console from it. Without a display it starts under a virtual one (xvfb-run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
scripts/layout.sh build/release dist
cd dist
echo "run: program folder $(pwd); the console's messages follow" >&2
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec ./garvinaserver "$@"
fi
echo "run: no display; starting under xvfb-run (the tray needs a tray host there: trayer is started too)" >&2
exec xvfb-run -a -s "-screen 0 1280x800x24" bash -c 'trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 >/dev/null 2>&1 & exec ./garvinaserver "$@"' garvinaserver "$@"
