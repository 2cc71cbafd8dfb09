#!/bin/bash
# Builds the Debian package from this build and checks what a shop gets: control fields, file list,
# lintian, the unit. As root on a machine without the package it installs an older build, lets the
# service lay out its folder and start, rotates the logs, upgrades, removes and purges, checks that the shop's
# files and backups survive all but a purge told to delete them byte for byte. Elsewhere it lays out a folder from an extracted copy.
#   check-package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
work=$(mktemp -d)
folder=/var/lib/garvinaserver
installed_here=
service_pid=
cleanup() {
    [ -n "$service_pid" ] && kill -KILL "$service_pid" 2>/dev/null || true
    if [ -n "$installed_here" ]; then
        # An engine the test's service left running, by the pid it recorded.
        [ -s "$folder/tool/GARVINANET.pid" ] && kill -KILL "$(cat "$folder/tool/GARVINANET.pid")" 2>/dev/null || true
        dpkg -P garvinaserver >/dev/null 2>&1 || true
        rm -rf -- "$folder"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package: $*"; exit 1; }

deb=$(bash "$source_dir/scripts/package.sh" "$build_dir" "$work")
[ -f "$deb" ] && [[ "$deb" == *.deb ]] || fail "package.sh printed no .deb: $deb"

version=$("$build_dir/src/app/garvinaserver" --version)
[ "$(dpkg-deb -f "$deb" Package)" = garvinaserver ] || fail "wrong Package field"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not the console's $version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "wrong Architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6core6 libqt6widgets6 libqt6network6 libqt6sql6-ibase libfbclient2 libsodium23 libarchive13 \
         firebird3.0-server firebird3.0-utils unzip adduser debconf; do
    [[ ", $depends," == *", $p"[\ ,]* ]] || fail "Depends lacks $p: $depends"
done

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/garvinaserver ./usr/lib/garvinaserver/garvinaserver ./usr/lib/garvinaserver/upgrade \
         ./usr/lib/garvinaserver/rar ./usr/lib/garvinaserver/prepare-folder ./usr/lib/garvinaserver/setup-instance.sh \
         ./usr/lib/garvinaserver/shop-schema.sql ./usr/lib/garvinaserver/program-folder \
         ./usr/lib/garvinaserver/server.dll ./usr/lib/garvinaserver/resources.dll ./usr/lib/garvinaserver/Skin.dll \
         ./usr/lib/garvinaserver/serverstart.ico ./usr/lib/garvinaserver/skin/bg.jpg \
         ./lib/systemd/system/garvinaserver.service ./usr/share/applications/garvinaserver.desktop \
         ./usr/share/icons/hicolor/256x256/apps/garvinaserver.png ./usr/share/man/man1/garvinaserver.1.gz \
         ./usr/share/doc/garvinaserver/copyright ./usr/share/doc/garvinaserver/examples/backup-disk.conf \
         ./etc/logrotate.d/garvinaserver; do
    grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
# The shop's files are never the package's: an upgrade or a removal would replace or delete them.
! grep -q '^\./var/' <<<"$files" || fail "the package ships files under /var"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/logrotate.d/garvinaserver ] || fail "the logrotate file is not a conffile"

if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt"; fail "lintian reports errors"; }
fi

extracted=$work/root
dpkg-deb -x "$deb" "$extracted"
if command -v systemd-analyze >/dev/null; then
    # Verified against the extracted program, with the backup-disk drop-in; the manual page is not installed here.
    install -D -m 0644 "$extracted/usr/share/doc/garvinaserver/examples/backup-disk.conf" -t "$work/garvinaserver.service.d"
    sed "s|^ExecStart=/usr/lib/|ExecStart=$extracted/usr/lib/|" "$extracted/lib/systemd/system/garvinaserver.service" \
        >"$work/garvinaserver.service"
    out=$(systemd-analyze verify --man=no "$work/garvinaserver.service" 2>&1) || fail "systemd-analyze: $out"
    [ -z "$out" ] || fail "systemd-analyze: $out"
fi

backup=织云阁软件备份/20260101-0300 && log=$folder/备份维护记录.txt && engine_log=$folder/tool/firebird.log
checksums() { (cd "$folder" && sha256sum data/garvina.db garvinainfo.dll tool/dba.password "$backup/garvina.db"); }
free_port() {
    local p
    while :; do
        p=$((20000 + RANDOM % 40000))
        ss -ltnH "( sport = :$p )" | grep -q . || { echo "$p"; return; }
    done
}

if [ "$(id -u)" -ne 0 ] || dpkg-query -W garvinaserver >/dev/null 2>&1 || [ -e "$folder" ]; then
    # No installing here: the first use lays out a program folder from the extracted copy.
    "$extracted/usr/lib/garvinaserver/prepare-folder" "$work/shop" >/dev/null
    [ "$(readlink -f "$work/shop/garvinaserver")" = "$extracted/usr/lib/garvinaserver/garvinaserver" ] ||
        fail "the folder's console is not the package's"
    [ -s "$work/shop/data/garvina.db" ] && [ -s "$work/shop/tool/dba.password" ] || fail "no instance laid out"
    echo "package: $deb checked (not installed: not root, or a garvinaserver is installed here)"
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
older=$(GARVINA_PACKAGE_VERSION="${version%.*}.$((${version##*.} - 1))" \
    bash "$source_dir/scripts/package.sh" "$build_dir" "$work/older")
installed_here=1
dpkg -i "$older" >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt"; fail "the older build does not install"; }
[ "$(stat -c '%U %a' "$folder")" = "garvinaserver 750" ] || fail "$folder is not the service's own"

# The first start of the service lays out the folder; the technician's ports come first.
printf '[server]\ndataport=%s\n[system]\nsockect=%s\n' "$(free_port)" "$(free_port)" >"$folder/garvinainfo.dll"
chown garvinaserver:garvinaserver "$folder/garvinainfo.dll"
(cd "$folder" && HOME="$folder" exec setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups /usr/bin/garvinaserver --service) \
    >"$work/service.txt" 2>&1 &
service_pid=$!
for _ in $(seq 120); do
    /usr/bin/garvinaserver --status >"$work/status.txt" 2>&1 && break
    sleep 0.5
done
/usr/bin/garvinaserver --status >"$work/status.txt" || { cat "$work/status.txt" "$work/service.txt"; fail "--status is not 0"; }
[ "$(stat -c '%U %a' "$folder/tool/dba.password")" = "garvinaserver 600" ] || fail "the DBA password is not the service's"
[ "$(stat -c '%G %a' "$folder/garvinaserver.sock")" = "garvinaserver 770" ] || fail "the socket is open to others"
code=0
(cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/garvinaserver --status) >"$work/status.txt" 2>&1 || code=$?
[ "$code" -eq 3 ] || fail "a user outside the group reached the service (exit $code)"
grep -q "没有权限" "$work/status.txt" || fail "--status of a user outside the group: $(cat "$work/status.txt")"
# Their desktop console says the same instead of starting a console of its own.
code=0
(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME=/tmp setpriv --reuid=nobody --regid=nogroup --clear-groups \
    timeout 60 /usr/bin/garvinaserver) >"$work/desktop.txt" 2>&1 || code=$?
[ "$code" -eq 1 ] && grep -q "没有权限连接服务端" "$work/desktop.txt" || fail "a desktop console outside the group: $code $(cat "$work/desktop.txt")"
kill -TERM "$service_pid"
wait "$service_pid" || fail "the service did not end in order: $(cat "$work/service.txt")"
service_pid=
echo "ready=1" >>"$folder/garvinainfo.dll"
setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups sh -c "mkdir -p '$folder/$backup' && cp '$folder/data/garvina.db' \
    '$folder/$backup/' && echo 'a line' | tee -a '$log' '$engine_log' >/dev/null" && cp "$log" "$engine_log" "$work/"
before=$(checksums)
# The installed logrotate file: the console's log moved away, the engine's (kept open) copied and cut short.
logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/garvinaserver || fail "logrotate failed"
zcmp "$log.1.gz" "$work/${log##*/}" && zcmp "$engine_log.1.gz" "$work/firebird.log" || fail "the logs were not rotated"
[ ! -e "$log" ] && [ -f "$engine_log" ] && [ ! -s "$engine_log" ] || fail "the rotated logs were not moved and cut short"

dpkg -i "$deb" >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt"; fail "the upgrade does not install"; }
[ "$(checksums)" = "$before" ] || fail "the upgrade changed the shop's files"
[ "$(readlink -e "$folder/garvinaserver")" = /usr/lib/garvinaserver/garvinaserver ] || fail "the folder lost its console"

dpkg -r garvinaserver >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt"; fail "the removal failed"; }
[ ! -e /usr/lib/garvinaserver ] || fail "the removal left the programs"
[ "$(checksums)" = "$before" ] || fail "the removal changed the shop's files"
# Nobody answers the question: the purge keeps the shop's data and says where it is.
dpkg -P garvinaserver >"$work/dpkg.txt" 2>&1 || { cat "$work/dpkg.txt"; fail "the purge failed"; }
grep -q "purge keeps the shop's data in $folder" "$work/dpkg.txt" && grep -q "backups are in $folder/${backup%/*}/" "$work/dpkg.txt" &&
    [ "$(checksums)" = "$before" ] || fail "the purge did not keep the shop's files and backups: $(cat "$work/dpkg.txt")"
dpkg -i "$deb" >/dev/null && echo "garvinaserver garvinaserver/purge_data boolean true" | debconf-set-selections
dpkg -P garvinaserver >"$work/dpkg.txt" 2>&1 && grep -q "purge deletes $folder" "$work/dpkg.txt" || fail "the purge told to delete did not"
[ ! -e "$folder" ] || fail "the purge left $folder"
installed_here=
echo "package: $deb installed, logs rotated, upgraded over $version's predecessor, removed, purged keeping the data and deleting it"
