#!/bin/bash
# Builds the Debian package of the console and prints the path of the .deb.
#   scripts/package.sh [BUILD_DIR [OUT_DIR]]
# Without BUILD_DIR the release build is made first. OUT_DIR defaults to build/.
# GARVINA_PACKAGE_VERSION overrides the package's version (the console's own by default).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ge 1 ]; then
    build=$(cd "$1" && pwd)
else
    "$src/scripts/build.sh" release >&2
    build=$src/build/release
fi
out=${2:-$src/build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in dpkg-deb dpkg-shlibdeps strip; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

version=${GARVINA_PACKAGE_VERSION:-$("$build/src/app/garvinaserver" --version)}
arch=$(dpkg --print-architecture)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/garvinaserver
lib=$pkg/usr/lib/garvinaserver
doc=$pkg/usr/share/doc/garvinaserver
umask 022
install -d "$pkg/DEBIAN" "$lib" "$pkg/usr/bin" "$pkg/lib/systemd/system" "$pkg/usr/share/applications" \
    "$pkg/usr/share/icons/hicolor/256x256/apps" "$pkg/usr/share/man/man1" "$doc/examples" "$pkg/etc/logrotate.d"

# The package's programs: the console, the upgrade program, the helpers and the instance set-up.
for f in src/app/garvinaserver src/upgradeprogram/upgrade; do
    install -m 0755 "$build/$f" "$lib/"
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$lib/$(basename "$f")"
done
install -m 0755 "$src/scripts/rar" "$src/scripts/setup-instance.sh" "$src/packaging/prepare-folder" "$lib/"
install -m 0644 "$src/scripts/shop-schema.sql" "$lib/"
cp -r "$src/resources/programfolder/." "$lib/"
# The shop's program folder, which the console resolves when started from the package.
echo /var/lib/garvinaserver/ >"$lib/program-folder"
chmod -R u=rwX,go=rX "$lib"
chmod 0755 "$lib/garvinaserver" "$lib/upgrade" "$lib/rar" "$lib/setup-instance.sh" "$lib/prepare-folder"
ln -s ../lib/garvinaserver/garvinaserver "$pkg/usr/bin/garvinaserver"

install -m 0644 "$src/packaging/garvinaserver.service" "$pkg/lib/systemd/system/"
install -m 0644 "$src/resources/garvinaserver.desktop" "$pkg/usr/share/applications/"
install -m 0644 "$src/resources/app/garvinaserver-256.png" \
    "$pkg/usr/share/icons/hicolor/256x256/apps/garvinaserver.png"
gzip -9n <"$src/packaging/garvinaserver.1" >"$pkg/usr/share/man/man1/garvinaserver.1.gz"
install -m 0644 "$src/packaging/copyright" "$doc/"
# The drop-in that lets the service write backups to another disk (README, manual page).
install -m 0644 "$src/packaging/backup-disk.conf" "$doc/examples/"
install -m 0644 "$src/packaging/garvinaserver.logrotate" "$pkg/etc/logrotate.d/garvinaserver"
# The date is the last commit's (or the build's), so that the same tree gives the same package.
stamp=$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)
{
    echo "garvinaserver ($version) bookworm; urgency=medium"
    echo
    echo "  * Build $version of the server console."
    echo
    echo " -- garvinaserver maintainers <maintainers@users.noreply.c-seed-d5e60092.example>  $(date -u -R -d "@$stamp")"
} | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$doc/changelog.gz" "$pkg/usr/share/man/man1/garvinaserver.1.gz"
for f in postinst prerm postrm config; do
    install -m 0755 "$src/packaging/$f" "$pkg/DEBIAN/"
done
# The purge question (debconf), and the logrotate file as the technician's to edit.
install -m 0644 "$src/packaging/templates" "$pkg/DEBIAN/"
echo /etc/logrotate.d/garvinaserver >"$pkg/DEBIAN/conffiles"

# Library dependencies as dpkg-shlibdeps finds them, then the programs the console runs.
mkdir -p "$stage/debian"
printf 'Source: garvinaserver\n\nPackage: garvinaserver\nArchitecture: any\n' >"$stage/debian/control"
shlibs=$(cd "$stage" && dpkg-shlibdeps -O --warnings=0 -e"$lib/garvinaserver" -e"$lib/upgrade")
shlibs=${shlibs#shlibs:Depends=}
depends="$shlibs, libqt6sql6-ibase, firebird3.0-server, firebird3.0-utils, restic, unzip, adduser, fonts-wqy-microhei, init-system-helpers (>= 1.54~), debconf (>= 0.5) | debconf-2.0"
rm -rf "$stage/debian"

size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
cat >"$pkg/DEBIAN/control" <<CONTROL
Package: garvinaserver
Version: $version
Architecture: $arch
Maintainer: garvinaserver maintainers <maintainers@users.noreply.c-seed-d5e60092.example>
Installed-Size: $size
Depends: $depends
Recommends: qt6-translations-l10n, logrotate, openssh-client
Section: misc
Priority: optional
Description: server console of the garment, shoe and hat shop sales system
 Runs a private Firebird 3 database engine on the shop database, a small
 connection service for the tills, and verified backups, rebuilds, retention
 and restore rehearsals. It lives in the tray of a desktop session, or runs
 without windows as the system service garvinaserver.service on a machine
 without a screen. The shop's data stays in /var/lib/garvinaserver.
CONTROL
(cd "$pkg" && find . \( -path ./DEBIAN -o -path ./etc \) -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
    >"$pkg/DEBIAN/md5sums"
chmod 0644 "$pkg/DEBIAN/md5sums" "$pkg/DEBIAN/control" "$pkg/DEBIAN/conffiles"

deb=$out/garvinaserver_${version}_$arch.deb
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
