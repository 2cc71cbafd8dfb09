#!/usr/bin/env bash
#
# setup-instance.sh PROGRAM_FOLDER
#
# Prepares a private Firebird 3 instance inside PROGRAM_FOLDER (created when
# missing) using the Debian firebird3.0 packages. Safe to run again: the
# generated .conf files, links and the intl copy are refreshed on every run,
# while data/garvina.db, tool/security3.fdb and tool/dba.password are only
# ever created, never replaced.
#
# Layout:
#   PROGRAM_FOLDER/tool/              instance root (FIREBIRD=<this>/, server -e)
#   PROGRAM_FOLDER/tool/firebird.conf generated
#   PROGRAM_FOLDER/tool/databases.conf generated: GARVINANET = <abs>/data/garvina.db
#   PROGRAM_FOLDER/tool/lock/         lock folder (FIREBIRD_LOCK, server -el)
#   PROGRAM_FOLDER/tool/intl/         real folder with copied libfbintl.so
#   PROGRAM_FOLDER/tool/security3.fdb instance security database, user DBA
#   PROGRAM_FOLDER/tool/dba.password  DBA password: 20 characters [A-Za-z0-9],
#                                     one line WITHOUT trailing newline, 0600
#   PROGRAM_FOLDER/tool/.setup.lock   serialises concurrent runs (flock)
#   PROGRAM_FOLDER/tool/embedded/     root of the embedded tools (FIREBIRD=<this>/):
#                                     same engine files and security database, but
#                                     any database file may be opened
#   PROGRAM_FOLDER/data/garvina.db    shop database (owner DBA, UTF8)
#
# databases.conf and tool/firebird.conf hold the absolute path of the program
# folder (the server opens only files in data/): run this script again after
# moving the folder.
#
# Starting the server (what the console does):
#   FIREBIRD=<abs>/tool/ /usr/sbin/firebird -e <abs>/tool/ -el <abs>/tool/lock -p PORT
# firebird cuts -e/-el values at the first blank: for a path with blanks pass
#   FIREBIRD=<abs>/tool/ FIREBIRD_LOCK=<abs>/tool/lock in the environment
# and leave out -e/-el (a warning is printed in that case).
# Embedded tools (isql-fb, gbak, nbackup, gfix) need, in the environment:
#   FIREBIRD=<abs>/tool/embedded/ FIREBIRD_LOCK=<abs>/tool/lock
# They share the server's lock folder, and the engine's lock on an open
# database file keeps them off the shop database while the server has it.
#
# Environment:
#   GARVINA_SHOP_SCHEMA   schema file for a new shop database
#                         (default: shop-schema.sql beside this script)
#   GARVINA_FB_LIBDIR     Firebird 3 library folder
#                         (default: /usr/lib/<multiarch>/firebird/3.0)
#
# Prints one line on success; exits non-zero with a message on stderr on
# failure. Passwords are only ever passed to isql-fb through stdin.

set -euo pipefail
umask 022

readonly PROG=setup-instance
readonly PAGE_SIZE=8192
readonly CACHE_BYTES=$((10 * 1024 * 1024))   # the old engine's "-c 10m"
readonly PASSWORD_LENGTH=20

die() {
    printf '%s: error: %s\n' "$PROG" "$*" >&2
    exit 1
}

usage() {
    cat <<'EOF'
usage: setup-instance.sh PROGRAM_FOLDER

Creates or refreshes the private Firebird instance in PROGRAM_FOLDER/tool
and, when missing, the shop database PROGRAM_FOLDER/data/garvina.db.
EOF
}

case "${1-}" in
    -h|--help) usage; exit 0 ;;
esac
[ $# -eq 1 ] && [ -n "$1" ] || { usage >&2; exit 2; }

# ---------------------------------------------------------------- tools

find_fb_libdir() {
    if [ -n "${GARVINA_FB_LIBDIR-}" ]; then
        printf '%s\n' "$GARVINA_FB_LIBDIR"
        return
    fi
    local d
    for d in /usr/lib/*/firebird/3.0 /usr/lib/firebird/3.0; do
        if [ -f "$d/plugins/libEngine12.so" ]; then
            printf '%s\n' "$d"
            return
        fi
    done
    return 1
}

FB_LIB=$(find_fb_libdir) ||
    die "Firebird 3 engine not found (install firebird3.0-server)"
for f in plugins/libEngine12.so plugins/libSrp.so intl/libfbintl.so firebird.msg; do
    [ -e "$FB_LIB/$f" ] || die "missing $FB_LIB/$f (install firebird3.0-server)"
done
FB_INTL_CONF=$FB_LIB/intl/fbintl.conf
[ -e "$FB_INTL_CONF" ] || FB_INTL_CONF=/etc/firebird/3.0/fbintl.conf
[ -r "$FB_INTL_CONF" ] || die "fbintl.conf not found (install firebird3.0-common)"
ISQL=$(command -v isql-fb) || die "isql-fb not found (install firebird3.0-utils)"
command -v flock >/dev/null || die "flock not found (install util-linux)"

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
SCHEMA=${GARVINA_SHOP_SCHEMA:-$SCRIPT_DIR/shop-schema.sql}

# ---------------------------------------------------------------- folders

mkdir -p -- "$1" || die "cannot create folder '$1'"
BASE=$(cd -- "$1" && pwd -P) || die "cannot enter folder '$1'"

# The path ends up in .conf files (no quoting, '#' starts a comment, $( is a
# macro) and in SQL string literals: refuse what would not survive that.
case "$BASE" in
    *[$'\n\r\t#"$']*) die "unsupported character in folder path '$BASE'" ;;
    *[[:space:]]) die "folder path must not end with white space: '$BASE'" ;;
esac
# firebird cuts the values of -e and -el at the first blank; the instance
# itself works, but the server must then get its root and lock folder from
# the environment only.
case "$BASE" in
    *' '*) printf '%s: warning: %s\n' "$PROG" \
        "'$BASE' contains a blank: start firebird without -e/-el, with FIREBIRD=<tool>/ and FIREBIRD_LOCK=<tool>/lock in its environment" >&2 ;;
esac

ROOT=$BASE/tool
DATA=$BASE/data
SEC_DB=$ROOT/security3.fdb
PW_FILE=$ROOT/dba.password
SHOP_DB=$DATA/garvina.db
TOOL_ROOT=$ROOT/embedded

mkdir -p -- "$ROOT" "$ROOT/lock" "$DATA" "$TOOL_ROOT" || die "cannot create folders in '$BASE'"

# One run at a time per program folder.
exec 9>"$ROOT/.setup.lock" || die "cannot write in '$ROOT'"
flock -w 60 9 || die "another setup of '$BASE' is still running"

# Files created by this run, removed again if the run fails.
CREATED=()
cleanup() {
    local rc=$?
    if [ $rc -ne 0 ] && [ ${#CREATED[@]} -gt 0 ]; then
        rm -f -- "${CREATED[@]}"
    fi
    exit $rc
}
trap cleanup EXIT

# Embedded engine environment: everything below touches only this instance.
fb() {
    env -u ISC_PASSWORD -u FIREBIRD_MSG -u FIREBIRD_TMP \
        FIREBIRD="$TOOL_ROOT/" FIREBIRD_LOCK="$ROOT/lock" ISC_USER="$1" \
        "${@:2}"
}

sql_quote() { printf '%s' "${1//\'/\'\'}"; }

# Writes stdin to $1 through a temporary file, so readers (a running server)
# never see a half-written file.
write_file() {
    local tmp
    tmp=$(mktemp "$1.XXXXXX") || die "cannot write '$1'"
    cat >"$tmp" && chmod 0644 "$tmp" && mv -f "$tmp" "$1" ||
        { rm -f "$tmp"; die "cannot write '$1'"; }
}

# Reads the page size from a database header page (0 when unreadable).
db_page_size() {
    local v
    v=$(od -An -tu2 -j16 -N2 "$1" 2>/dev/null | tr -d ' ') || v=
    case "$v" in
        4096|8192|16384|32768) printf '%s\n' "$v" ;;
        *) printf '0\n' ;;
    esac
}

# ---------------------------------------------------------------- sanity

if [ -e "$SEC_DB" ] && [ ! -e "$PW_FILE" ]; then
    die "'$SEC_DB' exists but '$PW_FILE' is missing; restore the password file (nothing was changed)"
fi
if [ ! -e "$SEC_DB" ] && [ -e "$PW_FILE" ]; then
    die "'$PW_FILE' exists but '$SEC_DB' is missing; restore the security database (nothing was changed)"
fi
if [ -e "$PW_FILE" ] && [ ! -s "$PW_FILE" ]; then
    die "'$PW_FILE' is empty"
fi

# ---------------------------------------------------------------- links

link_entry() {   # link_entry TARGET NAME [ROOT]
    local link=${3:-$ROOT}/$2
    if [ -L "$link" ] || [ ! -e "$link" ]; then
        ln -sfn -- "$1" "$link" || die "cannot link '$link'"
    fi   # a real file or folder put there by hand is left alone
}
link_entry "$FB_LIB/plugins" plugins
link_entry "$FB_LIB/lib" lib
link_entry "$FB_LIB/UDF" UDF
link_entry "$FB_LIB/firebird.msg" firebird.msg
for f in plugins lib UDF firebird.msg; do
    link_entry "$FB_LIB/$f" "$f" "$TOOL_ROOT"
done

# intl must be a real folder holding a real copy of the module: a linked intl
# makes every character set outside the built-in ones "not installed".
for d in "$ROOT/intl" "$TOOL_ROOT/intl"; do
    if [ -L "$d" ]; then
        rm -f -- "$d"
    fi
    mkdir -p -- "$d"
done
copy_file() {    # copy_file SRC DEST; replaces by rename, never in place
    if ! cmp -s -- "$1" "$2"; then
        local tmp
        tmp=$(mktemp "$2.XXXXXX") || die "cannot write '$2'"
        cp -- "$1" "$tmp" && chmod 0644 "$tmp" && mv -f -- "$tmp" "$2" ||
            { rm -f "$tmp"; die "cannot copy '$1' to '$2'"; }
    fi
}
copy_file "$FB_LIB/intl/libfbintl.so" "$ROOT/intl/libfbintl.so"
copy_file "$FB_INTL_CONF" "$ROOT/intl/fbintl.conf"
copy_file "$FB_LIB/intl/libfbintl.so" "$TOOL_ROOT/intl/libfbintl.so"
copy_file "$FB_INTL_CONF" "$TOOL_ROOT/intl/fbintl.conf"

# ---------------------------------------------------------------- config

GLOBAL_CACHE_PAGES=$((CACHE_BYTES / PAGE_SIZE))
SHOP_PAGE_SIZE=$PAGE_SIZE
if [ -e "$SHOP_DB" ]; then
    p=$(db_page_size "$SHOP_DB")
    [ "$p" -gt 0 ] && SHOP_PAGE_SIZE=$p
fi
SHOP_CACHE_PAGES=$((CACHE_BYTES / SHOP_PAGE_SIZE))

write_file "$ROOT/firebird.conf" <<EOF
# Generated by setup-instance.sh; changes are lost on the next run.
# Private instance: root = the folder of this file. Started as
#   FIREBIRD=<root>/ firebird -e <root>/ -el <root>/lock -p PORT
# The TCP port comes from -p, so none is set here.

ServerMode = Super

# Tills connect over the LAN: listen on every interface.
RemoteBindAddress =

# 10 MB page cache ($GLOBAL_CACHE_PAGES pages of $PAGE_SIZE bytes).
DefaultDbCachePages = $GLOBAL_CACHE_PAGES

SecurityDatabase = \$(root)/security3.fdb
AuthServer = Srp
AuthClient = Srp
UserManager = Srp
# Queries and answers never cross the shop's network in clear: a client that
# does not encrypt (Firebird 3 clients do by default) is refused.
WireCrypt = Required

# Over the network only the databases of databases.conf that allow it can be
# opened (the shop database), never any other file by its path.
RemoteAccess = false

# The server itself (attachments and services such as backups, with any
# password) opens database files in the data folder only. The embedded tools
# have a root of their own (embedded/) without this limit.
DatabaseAccess = Restrict $DATA

UdfAccess = Restrict UDF
ExternalFileAccess = None
EOF

write_file "$ROOT/databases.conf" <<EOF
# Generated by setup-instance.sh; changes are lost on the next run.
# Holds absolute paths: run setup-instance.sh again after moving the folder.

GARVINANET = $SHOP_DB
{
    RemoteAccess = true
    DefaultDbCachePages = $SHOP_CACHE_PAGES
}

security.db = \$(root)/security3.fdb
{
    RemoteAccess = false
}
EOF

write_file "$TOOL_ROOT/firebird.conf" <<EOF
# Generated by setup-instance.sh; changes are lost on the next run.
# Root of the embedded tools (gbak, nbackup -F, isql-fb) of the instance in
# the folder above: they work on backups and rebuilds wherever those lie, so
# database files are not limited here. Started with
#   FIREBIRD=<this folder>/ FIREBIRD_LOCK=<instance root>/lock
# they share the server's lock folder.

ServerMode = Super
DefaultDbCachePages = $GLOBAL_CACHE_PAGES

SecurityDatabase = $ROOT/security3.fdb
AuthServer = Srp
AuthClient = Srp
UserManager = Srp

UdfAccess = Restrict UDF
ExternalFileAccess = None
EOF

write_file "$TOOL_ROOT/databases.conf" <<EOF
# Generated by setup-instance.sh; changes are lost on the next run.
# The embedded tools name database files by their paths only.

security.db = $ROOT/security3.fdb
EOF

for f in plugins.conf fbtrace.conf; do
    if [ -r "$FB_LIB/$f" ]; then
        copy_file "$FB_LIB/$f" "$ROOT/$f"
        copy_file "$FB_LIB/$f" "$TOOL_ROOT/$f"
    fi
done

# ---------------------------------------------------------------- security

made=()
if [ ! -e "$SEC_DB" ]; then
    raw=$(head -c 4096 /dev/urandom | LC_ALL=C tr -dc 'A-Za-z0-9')
    password=${raw:0:$PASSWORD_LENGTH}
    [ ${#password} -eq $PASSWORD_LENGTH ] || die "cannot generate a password"

    pw_tmp=$(umask 077 && mktemp "$PW_FILE.XXXXXX") || die "cannot write '$PW_FILE'"
    CREATED+=("$pw_tmp" "$SEC_DB")
    printf '%s' "$password" >"$pw_tmp" && chmod 0600 "$pw_tmp" ||
        die "cannot write '$PW_FILE'"

    # Embedded as SYSDBA: the database names itself as its security database
    # (firebird.conf), so CREATE USER lands in it. No SYSDBA login is made:
    # only DBA can authenticate over the network.
    if ! out=$(fb SYSDBA "$ISQL" -q 2>&1 <<EOF
SET BAIL ON;
CREATE DATABASE '$(sql_quote "$SEC_DB")' PAGE_SIZE $PAGE_SIZE;
ALTER DATABASE SET LINGER TO 60;
CREATE USER DBA PASSWORD '$password' GRANT ADMIN ROLE USING PLUGIN Srp;
COMMIT;
SELECT 'DBA-OK' FROM SEC\$USERS WHERE SEC\$USER_NAME = 'DBA' AND SEC\$ADMIN;
EOF
    ) || [[ "$out" != *DBA-OK* ]]; then
        die "creating the security database failed: $out"
    fi
    unset password raw
    mv -- "$pw_tmp" "$PW_FILE" || die "cannot write '$PW_FILE'"
    CREATED+=("$PW_FILE")
    made+=("security database")
fi
chmod 0600 "$PW_FILE" 2>/dev/null || true

# ---------------------------------------------------------------- shop db

if [ ! -e "$SHOP_DB" ]; then
    [ -r "$SCHEMA" ] || die "schema file '$SCHEMA' not found"
    # Built under a temporary name and renamed at the end, so a failed run
    # never leaves a half-made garvina.db behind.
    tmp_db=$DATA/.garvina.db.new.$$
    rm -f -- "$tmp_db"
    CREATED+=("$tmp_db")
    if ! out=$(fb DBA "$ISQL" -q 2>&1 <<EOF
SET BAIL ON;
CREATE DATABASE '$(sql_quote "$tmp_db")' PAGE_SIZE $PAGE_SIZE DEFAULT CHARACTER SET UTF8;
EOF
    ); then
        die "creating the shop database failed: $out"
    fi
    if ! out=$(fb DBA "$ISQL" -q -b -ch UTF8 -i "$SCHEMA" "$tmp_db" 2>&1); then
        die "loading '$SCHEMA' failed: $out"
    fi
    # No-clobber rename: never replace a database that appeared meanwhile.
    mv -n -- "$tmp_db" "$SHOP_DB" || true
    [ -e "$tmp_db" ] && die "'$SHOP_DB' appeared during setup; left it alone"
    made+=("shop database")
fi

CREATED=()
if [ ${#made[@]} -gt 0 ]; then
    created=$(printf '%s, ' "${made[@]}")
    printf 'instance ready in %s (created: %s)\n' "$BASE" "${created%, }"
else
    printf 'instance ready in %s\n' "$BASE"
fi
