#!/bin/bash
# Installs, from Debian's packages, what building, running and testing the console needs.
# Asks apt only when something is missing, so a prepared machine starts at once.
set -euo pipefail

packages=(
    g++ cmake ninja-build ccache pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6sql6-ibase libgl-dev
    firebird3.0-server firebird3.0-utils firebird-dev
    qt6-translations-l10n xvfb xauth trayer imagemagick xdotool fonts-wqy-microhei
    zip unzip procps clang-format
    libsodium-dev libarchive-dev openssl
    restic openssh-client openssh-server libssl-dev
    dpkg-dev lintian binutils iproute2 debconf logrotate systemd-container
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: these packages are missing: ${missing[*]}" >&2
    echo "install-deps: run this script as root (or: sudo apt-get install ${missing[*]})" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
