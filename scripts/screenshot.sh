#!/bin/bash
# Takes screenshots of the running console under a virtual X server, for a look at its windows:
#   scripts/screenshot.sh BUILD_DIR OUT_DIR
# It lays out a program folder in a temporary directory (engine on a free port) with one backup
# taken 30 hours ago (so the backup alarm is up) and a backup time an hour ago (so today's backups
# are over), starts the console there with a tray host, and saves:
#   main.png          the main window after its first start, with the alarm balloon
#   tooltip.png       the tray icon's tooltip
#   traymenu.png      the tray menu opened on the tray icon
#   settings.png      the settings window, opened with the gear of the main window
#   settings-time.png the same after a click one character into the first backup time and "1045", Tab
#   backuplist.png    the backups list, opened with its button in the settings window
#   restore.png       the restore window, opened with the third icon
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)
work=$(mktemp -d /tmp/garvina-shot.XXXXXX)
trap 'pkill -f "$work/garvinaserver" 2>/dev/null || true; sleep 1; [ -f "$work/tool/GARVINANET.pid" ] && kill -9 "$(cat "$work/tool/GARVINANET.pid")" 2>/dev/null; rm -rf "$work"' EXIT

"$src/scripts/layout.sh" "$build" "$work" >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])')
sport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])')
root="$work/backups"
taken=$(date -d '-30 hours' +%Y%m%d-%H%M)
mkdir -p "$root/$taken"
head -c 1048576 /dev/zero >"$root/$taken/garvina.db"
# The last off-site copy 50 hours ago, so that its alarm is up too; its night is two hours past.
printf '{"lastGood":{"time":"%s","folder":"%s","root":"%s","mount":""},"offsite":{"good":"%s"}}\n' \
    "$(date -d '-30 hours' +%Y-%m-%dT%H:%M:00)" "$root/$taken" "$root" \
    "$(date -d '-50 hours' +%Y-%m-%dT%H:%M:00)" >"$work/备份状态.json"
printf '[server]\ndataport=%s\n[system]\nsockect=%s\n[backup]\nbackuptime1=%s\nbackuptime2=00:00:00\nbackuptime3=00:00:00\nbackuppath=%s/\nrehearsal_time=\n[offsite]\nrepository=%s\ntime=%s\n' \
    "$port" "$sport" "$(date -d '-1 hour' +%H:00:00)" "$root" "$work/offsite-repo" "$(date -d '-2 hour' +%H:00:00)" >"$work/garvinainfo.dll"

export HOME="$work/home"
mkdir -p "$HOME"
xvfb-run -a -s "-screen 0 1024x700x24" bash -c '
    set -e
    trayer --edge bottom --align right --widthtype pixel --width 120 --height 32 >/dev/null 2>&1 &
    sleep 1
    cd "$1" && ./garvinaserver >"$1/console.log" 2>&1 &
    sleep 6
    import -window root "$2/main.png"
    # Right-click the tray icon (bottom right) to open the tray menu.
    if command -v xdotool >/dev/null; then
        xdotool mousemove 1010 690
        sleep 3
        import -window root "$2/tooltip.png"
        xdotool click 3
        sleep 1
        import -window root "$2/traymenu.png"
        xdotool key Escape
        sleep 0.5
        # The main window is centred: 604 x 416 at (210, 142) on this screen; the settings window
        # 547 x 416 at (238, 142).
        xdotool mousemove 515 383 click 1       # the gear: settings
        sleep 1.5
        import -window root "$2/settings.png"
        xdotool mousemove 364 377 click 1       # one character into the first backup time
        sleep 0.3
        xdotool type --delay 150 1045
        xdotool key Tab
        sleep 0.5
        import -window root "$2/settings-time.png"
        xdotool mousemove 426 532 click 1       # the backups list button
        sleep 1.5
        import -window root "$2/backuplist.png"
        # Its close cross, wherever it was placed.
        eval "$(xdotool search --name "^备份列表\$" getwindowgeometry --shell | head -n 5)"
        xdotool mousemove $((X + 533)) $((Y + 12)) click 1
        sleep 0.5
        xdotool mousemove 771 154 click 1       # the settings window'"'"'s close cross
        sleep 1
        xdotool mousemove 696 383 click 1       # the third icon: restore
        sleep 1.5
        import -window root "$2/restore.png"
    fi
' shot "$work" "$out"
echo "screenshots in $out"
