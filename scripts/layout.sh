#!/bin/bash
# Lays out a program folder: the console, its helper programs, pictures and archives, and the
# private database engine instance with the shop database.
# Never overwrites data/garvina.db, garvinainfo.dll or tool/dba.password.
#   scripts/layout.sh BUILD_DIR PROGRAM_FOLDER
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$1
dest=$2
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

install -m 0755 "$build/src/app/garvinaserver" "$dest/garvinaserver"
install -m 0755 "$build/src/upgradeprogram/upgrade" "$dest/upgrade"
install -m 0755 "$src/scripts/rar" "$dest/rar"
if [ -d "$src/resources/programfolder" ]; then
    cp -r "$src/resources/programfolder/." "$dest/"
fi
"$src/scripts/setup-instance.sh" "$dest"
