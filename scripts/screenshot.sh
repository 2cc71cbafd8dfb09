#!/bin/bash
# Takes screenshots of the running console under a virtual X server, for a look at its windows:
#   scripts/screenshot.sh BUILD_DIR OUT_DIR
# It lays out a program folder in a temporary directory (engine on a free port), starts the console
# there with a tray host, and saves:
#   main.png       the main window after its first start
#   traymenu.png   the tray menu opened on the tray icon
#   settings.png   the settings window, opened with the gear of the main window
#   restore.png    the restore window, opened with the third icon
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)
work=$(mktemp -d /tmp/garvina-shot.XXXXXX)
trap 'pkill -f "$work/garvinaserver" 2>/dev/null || true; sleep 1; [ -f "$work/tool/GARVINANET.pid" ] && kill -9 "$(cat "$work/tool/GARVINANET.pid")" 2>/dev/null; rm -rf "$work"' EXIT

"$src/scripts/layout.sh" "$build" "$work" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])')
sport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])')
printf '[server]\ndataport=%s\n[system]\nsockect=%s\n[backup]\nbackuptime1=16:00:00\n' "$port" "$sport" >"$work/garvinainfo.dll"

export HOME="$work/home"
mkdir -p "$HOME"
xvfb-run -a -s "-screen 0 1024x700x24" bash -c '
    set -e
    trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 >/dev/null 2>&1 &
    sleep 1
    cd "$1" && ./garvinaserver >"$1/console.log" 2>&1 &
    sleep 4
    import -window root "$2/main.png"
    # Right-click the tray icon (bottom right) to open the tray menu.
    if command -v xdotool >/dev/null; then
        xdotool mousemove 1010 690 click 3
        sleep 1
        import -window root "$2/traymenu.png"
        xdotool key Escape
        sleep 0.5
        # The main window is centred: 604 x 416 at (210, 142) on this screen.
        xdotool mousemove 515 383 click 1       # the gear: settings
        sleep 1.5
        import -window root "$2/settings.png"
        xdotool mousemove 771 154 click 1       # its close cross
        sleep 1
        xdotool mousemove 696 383 click 1       # the third icon: restore
        sleep 1.5
        import -window root "$2/restore.png"
    fi
' shot "$work" "$out"
echo "screenshots in $out"
