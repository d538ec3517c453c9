#!/bin/sh
# Creates an empty call database from db/schema.sql with Firebird's own isql-fb.
#   scripts/create-db.sh /var/lib/tarvick/calls.fdb        local file: the embedded engine
#   scripts/create-db.sh dbhost:/var/lib/firebird/calls.fdb  a Firebird server (dbhost/3051:... on
#                                                           another port)
# With --grant USER it also makes USER a login with only what a station needs (on a database
# that exists already, here or on a server, only that): its password is TARVICK_GRANT_PASSWORD or
# a new random one, printed with the db.ini that uses it. ISC_USER and ISC_PASSWORD name the
# administrator (SYSDBA and the embedded default when unset).
# Works as root and as an ordinary user; the engine runs with the station's own configuration
# (data/firebird), so the new file is opened in the same shared mode as by the station.
set -eu

grant=
if [ $# -ge 2 ] && [ "$1" = --grant ]; then
    grant=$2
    shift 2
fi
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 [--grant USER] DBPATH" >&2
    exit 2
fi
case "$grant" in
    *[!A-Za-z0-9_]*)
        echo "$0: a user name is letters, digits and _" >&2
        exit 2 ;;
esac
db=$1
root=$(cd "$(dirname "$0")/.." && pwd)
TARVICK_FIREBIRD_DIR="$root/data/firebird"
. "$root/data/firebird/env.sh"

case "$db" in
    [A-Za-z]:[\\/]*) local_file=yes ;;   # a drive letter, not a host
    *:*) local_file=no ;;
    *) local_file=yes ;;
esac
user=${ISC_USER:-SYSDBA}
password=${ISC_PASSWORD:-quillfern}
exists=no
if [ "$local_file" = yes ]; then
    [ -e "$db" ] && exists=yes
# A server's file cannot be looked at from here: a database that lets the administrator in
# exists (one that cannot be reached, or refuses the login, fails the CREATE with the reason).
elif printf 'quit;\n' | ISC_USER="$user" ISC_PASSWORD="$password" isql-fb -q -bail "$db" \
        > /dev/null 2>&1; then
    exists=yes
fi
if [ "$exists" = yes ] && [ -z "$grant" ]; then
    echo "$0: $db already exists" >&2
    exit 1
fi
if [ "$local_file" = yes ]; then
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

quoted=$(printf '%s' "$db" | sed "s/'/''/g")
script=$(mktemp "${TMPDIR:-/tmp}/tarvick-create-db.XXXXXX")
trap 'rm -f "$script"' EXIT
if [ "$exists" = no ]; then
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
fi
[ -n "$grant" ] || exit 0

# What a station does: stores rows and notes rejected lines, moves its mark, reads the owners
# and the day's calls for the daily mail. Nothing is deleted or altered under this login.
grant_password=${TARVICK_GRANT_PASSWORD:-$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')}
quoted_password=$(printf '%s' "$grant_password" | sed "s/'/''/g")
export ISC_USER="$user" ISC_PASSWORD="$password"
# The login lives in the server's security database. The embedded engine may have none (and
# checks no password); the grants bind the name all the same.
printf "CREATE OR ALTER USER %s PASSWORD '%s';\nCOMMIT;\n" "$grant" "$quoted_password" > "$script"
if isql-fb -q -bail -i "$script" "$db" > /dev/null 2>&1; then
    login_made=yes
else
    login_made=no
    echo "$0: the login $grant could not be made here; make it where the server keeps its" \
         "users: CREATE USER $grant PASSWORD '...'" >&2
fi
{
    echo "GRANT SELECT, INSERT ON Rings TO USER $grant;"
    echo "GRANT SELECT, INSERT, UPDATE ON RejectedLines TO USER $grant;"
    echo "GRANT SELECT, INSERT, UPDATE ON JournalMarks TO USER $grant;"
    echo "GRANT SELECT ON Users TO USER $grant;"
    # The daily run adds up the summaries' totals.
    for t in RingTotals RingTotalDays RingTotalState RingTotalStale; do
        echo "GRANT SELECT, INSERT, UPDATE, DELETE ON $t TO USER $grant;"
    done
    echo "COMMIT;"
} > "$script"
if ! isql-fb -q -bail -i "$script" "$db"; then
    echo "$0: could not grant $grant its rights on $db" >&2
    exit 1
fi
echo "granted $grant what a station needs on $db"
if [ "$login_made" = yes ]; then
    printf 'db.ini in the station directory (readable by its owner only):\n'
    printf '[Database]\nUser=%s\nPassword=%s\n' "$grant" "$grant_password"
fi
