#!/bin/bash
# The package under a real systemd: boots this machine's own system in a container
# (systemd-nspawn over a throw-away overlay of /, private network), installs the .deb there and
# checks that the service gets ready, that --status tells, that the unit recovers from a crash of
# the console and ends the engine it left, what the backup-disk drop-in lets the service see and
# write, and that a stop, a removal and a purge with nobody to answer leave the shop's data.
# Exits 77 (skipped) where no container can be booted: not root, no systemd-nspawn, a garvinaserver
# installed on this machine, or a container that does not come up here.
#   check-systemd.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
skip() {
    echo "systemd: skipped: $*"
    exit 77
}
fail() {
    echo "systemd: $*"
    [ -n "${leader:-}" ] && in_container journalctl -b --no-pager -n 60 -u garvinaserver 2>/dev/null | sed 's/^/  /'
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "not root"
command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (package systemd-container)"
[ -x /lib/systemd/systemd ] || skip "no systemd on this machine to boot"
if dpkg-query -W garvinaserver >/dev/null 2>&1 || [ -e /var/lib/garvinaserver ]; then
    skip "a garvinaserver is installed here, and the container would start from it"
fi

work=$(mktemp -d)
root=$work/root
nspawn_pid=
leader=
cleanup() {
    if [ -n "$leader" ]; then
        in_container systemctl poweroff >/dev/null 2>&1 || true
        for _ in $(seq 30); do
            kill -0 "$nspawn_pid" 2>/dev/null || break
            sleep 0.5
        done
    fi
    [ -n "$nspawn_pid" ] && kill -KILL "$nspawn_pid" 2>/dev/null || true
    [ -n "$nspawn_pid" ] && wait "$nspawn_pid" 2>/dev/null || true
    mountpoint -q "$root" && umount "$root"
    mountpoint -q "$work/layer" && umount "$work/layer"
    rm -rf "$work"
}
trap cleanup EXIT
# Everything the container writes lands in a tmpfs; the machine's own root is only read.
mkdir -p "$work/layer" "$root"
mount -t tmpfs -o mode=0755 garvina-layer "$work/layer" || skip "no tmpfs mount here"
mkdir "$work/layer/upper" "$work/layer/work"
mount -t overlay garvina-root -o "lowerdir=/,upperdir=$work/layer/upper,workdir=$work/layer/work" "$root" ||
    skip "no overlay of / here"

deb=$(bash "$source_dir/scripts/package.sh" "$build_dir" "$work/layer")
cp "$deb" "$root/var/tmp/garvinaserver.deb"
# A policy that forbids starting services at installation (as in container images) is the
# machine's, not the shop's: the container goes without it.
rm -f "$root/usr/sbin/policy-rc.d"

in_container() {
    nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
# basic.target: the machine's own daemons (its Firebird, its databases) stay down in there.
systemd-nspawn --quiet -D "$root" -b --private-network --register=no --keep-unit -M garvina-test \
    -- systemd.unit=basic.target </dev/null >"$work/boot.txt" 2>&1 &
nspawn_pid=$!
for _ in $(seq 120); do
    leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
    if [ -n "$leader" ]; then
        state=$(in_container systemctl is-system-running 2>/dev/null || true)
        case $state in running | degraded) break ;; esac
    fi
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.5
done
case ${state:-} in
    running | degraded) ;;
    *) leader= && skip "the container did not boot here: $(tail -3 "$work/boot.txt" | tr '\n' ' ')" ;;
esac

status_code() {
    local code=0
    in_container garvinaserver --status >"$work/status.txt" 2>&1 || code=$?
    echo "$code"
}
wait_ready() {
    local state
    for _ in $(seq 120); do
        state=$(in_container systemctl is-active garvinaserver || true)
        [ "$state" = active ] && [ "$(status_code)" = 0 ] && return 0
        sleep 1
    done
    fail "$1: the service is not ready ($state): $(cat "$work/status.txt" 2>/dev/null)"
}
shop_files() { in_container sh -c "cd $folder && sha256sum data/garvina.db garvinainfo.dll tool/dba.password"; }
main_pid() { in_container systemctl show -P MainPID garvinaserver; }
folder=/var/lib/garvinaserver

# The postinst starts the unit, which is active only once the console said READY=1.
in_container dpkg -i /var/tmp/garvinaserver.deb >"$work/dpkg.txt" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.txt")"
[ "$(in_container systemctl is-enabled garvinaserver)" = enabled ] || fail "the unit is not enabled"
wait_ready "after the installation"
head -1 "$work/status.txt" | grep -q '^GARVINASERVER OK' || fail "--status: $(cat "$work/status.txt")"

# The console crashes: systemd ends the engine it leaves behind (KillMode=mixed) and starts the
# unit again, and the new console its own engine.
engine=$(in_container cat "$folder/tool/GARVINANET.pid")
in_container kill -KILL "$(main_pid)"
wait_ready "after the crash"
[ "$(in_container systemctl show -P NRestarts garvinaserver)" = 1 ] || fail "the unit was not restarted by systemd"
! in_container kill -0 "$engine" 2>/dev/null || fail "the crashed console's engine still runs"

# The shipped drop-in with backuppath on a disk at /mnt/backupdisk. Absent, the disk's mount point
# must not be one in the service's view (the console's guard reads mountinfo), and the service may
# not write there though the mount point is its own; connected, it may write in its folder on it.
disk=/mnt/backupdisk
in_container install -D -m 0644 /usr/share/doc/garvinaserver/examples/backup-disk.conf \
    /etc/systemd/system/garvinaserver.service.d/backup-disk.conf
in_container install -d -o garvinaserver -g garvinaserver "$disk"
printf '[backup]\nbackuppath=%s/garvinaserver/\n' "$disk" |
    in_container setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups tee -a "$folder/garvinainfo.dll" >/dev/null
in_container systemctl daemon-reload
in_container systemctl restart garvinaserver
wait_ready "with the drop-in, the disk absent"
pid=$(main_pid)
! in_container nsenter -t "$pid" -m awk -v d="$disk" '$5 == d' /proc/self/mountinfo | grep -q . ||
    fail "an absent backup disk looks mounted to the service"
! in_container nsenter -t "$pid" -m setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups \
    mkdir "$disk/garvinaserver" 2>/dev/null || fail "the service could write to the root disk under $disk"
in_container mount -t tmpfs -o mode=0755 backupdisk "$disk"
in_container install -d -o garvinaserver -g garvinaserver "$disk/garvinaserver"
in_container systemctl restart garvinaserver
wait_ready "with the drop-in, the disk connected"
in_container nsenter -t "$(main_pid)" -m setpriv --reuid=garvinaserver --regid=garvinaserver --init-groups \
    touch "$disk/garvinaserver/written" || fail "the service may not write to its folder on the backup disk"

# Stopped: the engine ended with the console. Removed and purged with nobody to answer: the
# shop's files stay.
engine=$(in_container cat "$folder/tool/GARVINANET.pid")
in_container systemctl stop garvinaserver
! in_container kill -0 "$engine" 2>/dev/null || fail "the engine outlived the stopped unit"
code=$(status_code)
[ "$code" = 3 ] || fail "--status of a stopped service exits $code, not 3"
before=$(shop_files)
in_container dpkg -r garvinaserver >"$work/dpkg.txt" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.txt")"
in_container dpkg -P garvinaserver >"$work/dpkg.txt" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.txt")"
[ "$(shop_files)" = "$before" ] ||
    fail "the purge did not keep the shop's files"
echo "systemd: $deb installed, ready, recovered from a crash, drop-in checked, stopped, removed and purged in a container"
