#!/bin/sh
# Creates an empty call database from db/schema.sql with Firebird's own isql-fb.
#   scripts/create-db.sh /var/lib/tarvick/calls.fdb        local file: the embedded engine
#   scripts/create-db.sh dbhost:/var/lib/firebird/calls.fdb  a Firebird server
# Works as root and as an ordinary user; the engine runs with the station's own configuration
# (data/firebird), so the new file is opened in the same shared mode as by the station.
set -eu

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 DBPATH" >&2
    exit 2
fi
db=$1
root=$(cd "$(dirname "$0")/.." && pwd)
TARVICK_FIREBIRD_DIR="$root/data/firebird"
. "$root/data/firebird/env.sh"

case "$db" in
    [A-Za-z]:[\\/]*) local_file=yes ;;   # a drive letter, not a host
    *:*) local_file=no ;;
    *) local_file=yes ;;
esac
if [ "$local_file" = yes ]; then
    if [ -e "$db" ]; then
        echo "$0: $db already exists" >&2
        exit 1
    fi
    # Without the station's configuration the engine would open the file in another mode (and
    # without WIN1251), and the station could not share it.
    if [ -z "${FIREBIRD:-}" ]; then
        echo "$0: cannot prepare the Firebird configuration (no writable temporary directory" \
             "or no character set module)" >&2
        exit 1
    fi
    dir=$(dirname "$db")
    if [ ! -d "$dir" ] || [ ! -w "$dir" ]; then
        echo "$0: cannot write to $dir" >&2
        exit 1
    fi
fi

user=${ISC_USER:-SYSDBA}
password=${ISC_PASSWORD:-quillfern}
quoted=$(printf '%s' "$db" | sed "s/'/''/g")
script=$(mktemp "${TMPDIR:-/tmp}/tarvick-create-db.XXXXXX")
trap 'rm -f "$script"' EXIT
{
    echo "SET SQL DIALECT 3;"
    echo "CREATE DATABASE '$quoted' USER '$user' PASSWORD '$password'"
    echo "  PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1251;"
    cat "$root/db/schema.sql"
} > "$script"

if ! isql-fb -q -bail -i "$script"; then
    echo "$0: could not create $db" >&2
    exit 1
fi
echo "created $db"
