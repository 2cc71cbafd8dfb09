#!/bin/bash
# The .deb under a real systemd, in a container booted with systemd-nspawn over a tmpfs overlay of this machine's
# root (private network). Exits 77 (skipped) where no container boots.   check-systemd.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
skip() { echo "systemd: skipped: $*" && exit 77; }
fail() { echo "systemd: $*" && c journalctl --no-pager -n 40 -u garvinaserver; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "not root"
command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (package systemd-container)"
! dpkg-query -W garvinaserver >/dev/null 2>&1 && [ ! -e /var/lib/garvinaserver ] || skip "a garvinaserver is installed here"
w=$(mktemp -d) && r=$w/root && nspawn= && leader= && f=/var/lib/garvinaserver && d=/mnt/backupdisk
c() { nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
in_service() { c nsenter -t "$(c systemctl show -P MainPID garvinaserver)" -m setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups sh -c "$1"; }
cleanup() {
    set +e && [ -n "$leader" ] && c systemctl poweroff >/dev/null 2>&1 && timeout 15 tail --pid="$nspawn" -f /dev/null
    kill -0 $nspawn 2>/dev/null && kill -KILL $leader $nspawn; wait; umount "$r" "$w/l" 2>/dev/null; rm -rf --one-file-system "$w"
} && trap cleanup EXIT
mkdir -p "$w/l" "$r" && mount -t tmpfs tmpfs "$w/l" && mkdir "$w/l/u" "$w/l/w" || skip "no tmpfs here"
mount -t overlay overlay -o "lowerdir=/,upperdir=$w/l/u,workdir=$w/l/w" "$r" || skip "no overlay of / here"
cp "$(bash "$1/scripts/package.sh" "$2" "$w/l")" "$r/var/tmp/garvinaserver.deb"
rm -f "$r/usr/sbin/policy-rc.d" # an image's ban on starting services at installation is not the shop's
# The container's clock zone puts one of the default backup times (12:00, 16:00, 20:00) 90 s ahead, so the
# installed service takes its first backup with nothing edited.
at=$((($(date -u +%s) + 90) % 86400)) && best=
for t in 43200 57600 72000; do o=$(((t - at + 129600) % 86400 - 43200)); [ -z "$best" ] || [ ${o#-} -lt ${best#-} ] && best=$o; done
sign= && [ "$best" -lt 0 ] && sign=- && best=${best#-}
printf 'Zone Shop %s%d:%02d:%02d - SHOP\n' "$sign" $((best / 3600)) $((best % 3600 / 60)) $((best % 60)) >"$w/zone"
zic -d "$w/zi" "$w/zone" && rm -f "$r/etc/localtime" && cp "$w/zi/Shop" "$r/etc/localtime" || skip "no zic here"
systemd-nspawn -q -D "$r" -b --private-network --register=no --keep-unit --timezone=off -- systemd.unit=basic.target </dev/null >"$w/boot.txt" 2>&1 & nspawn=$!
for _ in $(seq 120); do
    leader=$(pgrep -P "$nspawn" -x systemd) && [[ "$(c systemctl is-system-running)" =~ ^(running|degraded)$ ]] && break
    leader= && kill -0 "$nspawn" 2>/dev/null && sleep 0.5 || break
done; [ -n "$leader" ] || skip "the container did not boot here: $(tail -2 "$w/boot.txt" | tr '\n' ' ')"
ready() { for _ in $(seq 120); do [ "$(c systemctl is-active garvinaserver)" = active ] && c garvinaserver --status >/dev/null && return || sleep 1; done
    fail "$1: the service is not ready"; }
c dpkg -i /var/tmp/garvinaserver.deb >"$w/dpkg.txt" 2>&1 || fail "dpkg -i: $(cat "$w/dpkg.txt")"
ready "installed" && [ "$(c systemctl is-enabled garvinaserver)" = enabled ] || fail "the unit is not enabled"
j() { c journalctl -u garvinaserver --no-pager -o cat; }
said() { for _ in $(seq "$2"); do [ "$(j | grep -cF "$1")" -ge "${3:-1}" ] && return || sleep 1; done; fail "the journal lacks: $1"; }
said "没有配置文件,已按默认设置建立:$f/garvinainfo.dll,每天12:00:00、16:00:00、20:00:00备份" 1
said " 备份数据库成功!" 150 && c sh -c "ls $f/*/*-*/garvina.db" >/dev/null || fail "no scheduled backup"
# The engine killed alone: the console starts it again and says so.
engine=$(c cat $f/tool/GARVINANET.pid) && c kill -KILL "$engine" && said "数据库服务已停止运行(进程已退出),正在重新启动" 10
said "数据库服务已重新启动" 60 && ready "after the engine's kill" && [ "$(c cat $f/tool/GARVINANET.pid)" != "$engine" ] || fail "the engine was not started again"
c systemctl reload garvinaserver && said "已重新读取配置文件" 10
status() { local code=0; c "$@" garvinaserver --status >"$w/status.txt" 2>&1 || code=$?; echo "systemd: --status $code: $(head -1 "$w/status.txt")"; }
status && j | grep -E '备份|数据库服务|配置文件' | sed 's/^/systemd: journal: /'
# A crashed console: systemd ends the engine it leaves (KillMode=mixed) and starts the unit again.
engine=$(c cat $f/tool/GARVINANET.pid) && c kill -KILL "$(c systemctl show -P MainPID garvinaserver)" || fail "no engine"
ready "after a crash" && ! c kill -0 "$engine" 2>/dev/null || fail "the crashed console's engine still runs"
# The shipped drop-in: an absent disk's mount point (the service's own) is not mounted (for the console's guard) nor writable.
c install -D -m 0644 {/usr/share/doc/garvinaserver/examples,/etc/systemd/system/garvinaserver.service.d}/backup-disk.conf
c install -d -o garvinaserver -g garvinaserver $d && c sed -i "s|^backuppath=.*|backuppath=$d/garvinaserver/|" $f/garvinainfo.dll
c systemctl daemon-reload && c systemctl restart garvinaserver && ready "with the drop-in"
in_service "! grep -q ' $d ' /proc/self/mountinfo" || fail "an absent backup disk looks mounted to the service"
in_service "! mkdir $d/garvinaserver 2>/dev/null" || fail "the service may write to the root disk under $d"
c mount -t tmpfs disk $d && c install -d -o garvinaserver -g garvinaserver $d/garvinaserver && c systemctl restart garvinaserver
ready "with the disk" && in_service "touch $d/garvinaserver/written" || fail "the service may not write to its folder on the disk"
# Stopped, the engine ends with the console; purged with nobody to answer, the shop's database stays.
engine=$(c cat $f/tool/GARVINANET.pid) && c systemctl stop garvinaserver && ! c kill -0 "$engine" 2>/dev/null || fail "the engine outlived the unit"
status && grep -q "服务端未运行" "$w/status.txt" && status setpriv --reuid=nobody --regid=nogroup --clear-groups
grep -q "没有权限" "$w/status.txt" || fail "--status of a stopped service, or of a user outside the group"
c dpkg -P garvinaserver >"$w/dpkg.txt" 2>&1 && c test -s $f/data/garvina.db || fail "the purge lost the database: $(cat "$w/dpkg.txt")"
c sh -c "ls $f/*/*-*/garvina.db" >/dev/null || fail "the purge lost the backups"
echo "systemd: installed, first scheduled backup taken, engine kill and crash recovered, reloaded, backup-disk drop-in checked, stopped and purged in a container"
