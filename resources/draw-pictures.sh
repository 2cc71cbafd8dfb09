#!/usr/bin/env bash
# Regenerates every picture under resources/ from resources/drawpictures/:
#   programfolder/skin/*.jpg, programfolder/serverstart.ico, serverstop.ico,
#   programfolder/server.dll (menu pictures, Qt binary resource),
#   programfolder/resources.dll and Skin.dll (zip archives),
#   app/garvinaserver.png, app/garvinaserver-256.png and app/serveralarm.ico (the backup alarm's
#   tray picture, built into the program).
# Builds the drawing program in a temporary folder; independent of the main
# project's build. Usage: resources/draw-pictures.sh
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
fixed_date="2013-08-29T00:00:00"
export TZ=UTC LC_ALL=C
umask 022

# --- tools -----------------------------------------------------------------
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v zip >/dev/null || need+=(zip)
command -v unzip >/dev/null || need+=(unzip)
[ -n "$(find /usr/lib -path '*/cmake/Qt6Gui/Qt6GuiConfig.cmake' -print -quit 2>/dev/null)" ] ||
    need+=(qt6-base-dev)
fonts="$(fc-list : family 2>/dev/null || true)"
grep -qi -e "WenQuanYi Micro Hei" -e "Noto Sans CJK SC" <<<"$fonts" || need+=(fonts-wqy-microhei)
if [ "${#need[@]}" -gt 0 ]; then
    echo "installing: ${need[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

rcc="${RCC:-}"
if [ -z "$rcc" ]; then
    for candidate in /usr/lib/qt6/libexec/rcc \
        "$(qtpaths6 --query QT_HOST_LIBEXECS 2>/dev/null || true)/rcc"; do
        if [ -x "$candidate" ]; then rcc="$candidate"; break; fi
    done
fi
[ -n "$rcc" ] && [ -x "$rcc" ] || { echo "rcc not found (set RCC=...)" >&2; exit 1; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# --- build and draw --------------------------------------------------------
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen

cmake -S "$here/drawpictures" -B "$work/build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >/dev/null
tool="$work/build/drawpictures"

out="$work/out"
"$tool" draw "$out"

# fixed dates everywhere: rcc and zip both record them
find "$out" -type f -exec chmod 644 {} + -exec touch -d "$fixed_date" {} +

# --- menu pictures: Qt binary resource -------------------------------------
export QT_RCC_SOURCE_DATE_OVERRIDE="$(date -d "$fixed_date" +%s)"
export SOURCE_DATE_EPOCH="$QT_RCC_SOURCE_DATE_OVERRIDE"
(cd "$out/menu" && "$rcc" --binary --no-compress -o "$out/programfolder/server.dll" server.qrc)
touch -d "$fixed_date" "$out/programfolder/server.dll"

"$tool" check "$out"

# --- archives --------------------------------------------------------------
(cd "$out/programfolder" &&
    zip -X -D -q resources.dll serverstart.ico serverstop.ico &&
    zip -X -D -q Skin.dll skin/bg.jpg skin/close.jpg skin/setting_bg.jpg \
        skin/startmsg.jpg skin/dbunload.jpg)
unzip -l "$out/programfolder/resources.dll"
unzip -l "$out/programfolder/Skin.dll"
listing="$(unzip -Z1 "$out/programfolder/resources.dll")"
for want in serverstart.ico serverstop.ico; do
    grep -qx "$want" <<<"$listing" || { echo "resources.dll lacks $want" >&2; exit 1; }
done
listing="$(unzip -Z1 "$out/programfolder/Skin.dll")"
for want in bg close setting_bg startmsg dbunload; do
    grep -qx "skin/$want.jpg" <<<"$listing" || { echo "Skin.dll lacks skin/$want.jpg" >&2; exit 1; }
done

# --- install into resources/ -----------------------------------------------
dest="$here/programfolder"
mkdir -p "$dest/skin" "$here/app"
for f in bg close setting_bg startmsg dbunload; do
    install -m 644 "$out/programfolder/skin/$f.jpg" "$dest/skin/$f.jpg"
done
for f in serverstart.ico serverstop.ico server.dll resources.dll Skin.dll; do
    install -m 644 "$out/programfolder/$f" "$dest/$f"
done
install -m 644 "$out/app/garvinaserver.png" "$out/app/garvinaserver-256.png" "$out/app/serveralarm.ico" "$here/app/"
find "$dest" "$here/app" -type f -exec touch -d "$fixed_date" {} +

echo "pictures written to $dest and $here/app"
