#!/bin/bash
# Makes the publisher's key pair and signs a program package for the upgrade server.
#
#   sign-upgrade.sh keygen SECRET_KEY PUBLIC_KEY
#       A new Ed25519 key pair: SECRET_KEY (PEM, readable by its owner only; keep it off the
#       repository and off the upgrade server) and PUBLIC_KEY (one line, the 32 key bytes in base64),
#       the file the build compiles in (CMake: -DGARVINA_UPGRADE_PUBLIC_KEY_FILE=PUBLIC_KEY).
#
#   sign-upgrade.sh sign SECRET_KEY VERSION PACKAGE
#       Writes up.txt (VERSION, ten characters such as 4.5.130830) and up.txt.sig (the release
#       manifest: version, size and SHA-256 of PACKAGE, signed) beside PACKAGE. Publish the three
#       files under /up/ on the upgrade server; PACKAGE as garvinaserver.zip.
#
# The secret key never appears on a command line other than as a file name.
set -euo pipefail

usage() {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

die() {
    echo "sign-upgrade: $*" >&2
    exit 1
}

command -v openssl >/dev/null || die "openssl is missing (apt-get install openssl)"

case "${1:-}" in
keygen)
    [ $# -eq 3 ] || usage
    secret=$2
    public=$3
    [ -e "$secret" ] && die "$secret exists already; not overwritten"
    (umask 077 && openssl genpkey -algorithm ed25519 -out "$secret")
    # The DER form of an Ed25519 public key ends with the 32 key bytes.
    openssl pkey -in "$secret" -pubout -outform DER | tail -c 32 | base64 -w0 >"$public"
    echo >>"$public"
    echo "sign-upgrade: secret key $secret, public key $public"
    ;;
sign)
    [ $# -eq 4 ] || usage
    secret=$2
    version=$3
    package=$4
    [ -f "$secret" ] || die "no secret key at $secret"
    [ -f "$package" ] || die "no package at $package"
    [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "version must be numbers a.b.c: $version"
    [ ${#version} -eq 10 ] || die "version must have ten characters (such as 4.5.130830): $version"
    folder=$(dirname "$package")
    size=$(stat -c %s "$package")
    sha=$(sha256sum "$package" | cut -d' ' -f1)
    body=$(mktemp)
    trap 'rm -f "$body"' EXIT
    printf 'garvinaserver-release 1\nversion %s\nsize %s\nsha256 %s\n' "$version" "$size" "$sha" >"$body"
    signature=$(openssl pkeyutl -sign -rawin -inkey "$secret" -in "$body" | base64 -w0)
    { cat "$body"; printf 'signature %s\n' "$signature"; } >"$folder/up.txt.sig.tmp"
    mv "$folder/up.txt.sig.tmp" "$folder/up.txt.sig"
    printf '%s' "$version" >"$folder/up.txt"
    echo "sign-upgrade: $folder/up.txt and $folder/up.txt.sig for $package ($version, $size bytes)"
    ;;
*)
    usage
    ;;
esac
