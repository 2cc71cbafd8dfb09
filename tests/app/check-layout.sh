#!/bin/bash
# Lays out a program folder from the build with the README's script and checks what a shop gets:
# the programs where the console looks for them, the instance, the database, a console that runs.
set -euo pipefail
source_dir=$1
build_dir=$2
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
bash "$source_dir/scripts/layout.sh" "$build_dir" "$folder/店 铺" >/dev/null
cd "$folder/店 铺"
for f in garvinaserver upgrade rar; do
    [ -x "$f" ] || { echo "layout: $f missing or not executable"; exit 1; }
done
for f in data/garvina.db tool/firebird.conf tool/embedded/firebird.conf tool/dba.password \
         server.dll resources.dll Skin.dll; do
    [ -s "$f" ] || { echo "layout: $f missing"; exit 1; }
done
[ "$(stat -c %a tool/dba.password)" = 600 ] || { echo "layout: tool/dba.password is not 0600"; exit 1; }
version=$(./garvinaserver --version)
[ -n "$version" ] || { echo "layout: the console printed no version"; exit 1; }
echo "layout: complete, console $version"
