# Sourced by the scripts (and by an administrator's shell) before running Firebird's utilities,
# so that they open the call database in the same shared mode, with the same lock directory, as
# the station:
#   TARVICK_FIREBIRD_DIR=/path/to/data/firebird . /path/to/data/firebird/env.sh
#   isql-fb -user SYSDBA -password quillfern /path/to/calls.fdb
#
# The engine takes its configuration from $FIREBIRD but loads the character sets from
# $FIREBIRD/intl, and only from a real file there (a symbolic link is refused), so the
# configuration is staged with a copy of the system's character set module; the station does
# the same (db/FirebirdEnv.cpp).
_tarvick_usable() { [ -d "$1" ] && [ -w "$1" ] && [ -x "$1" ]; }
_tarvick_user=$(id -u)  # the same naming as db/FirebirdEnv.cpp
_tarvick_tmp=${TMPDIR:-/tmp}
# The engine finds no character sets under a $FIREBIRD with a doubled slash in it.
while [ "${_tarvick_tmp%/}" != "$_tarvick_tmp" ]; do _tarvick_tmp=${_tarvick_tmp%/}; done

if [ -z "${FIREBIRD_LOCK:-}" ]; then
    if { [ -e /tmp/firebird ] && ! _tarvick_usable /tmp/firebird; } ||
       { [ ! -e /tmp/firebird ] && ! _tarvick_usable /tmp; }; then
        FIREBIRD_LOCK="$_tarvick_tmp/firebird-lock-$_tarvick_user"
        mkdir -p "$FIREBIRD_LOCK" && chmod 700 "$FIREBIRD_LOCK"
        export FIREBIRD_LOCK
    fi
fi

if [ -z "${FIREBIRD:-}" ] && [ -n "${TARVICK_FIREBIRD_DIR:-}" ]; then
    _tarvick_intl=
    for _f in /usr/lib/*/firebird/3.0/intl/libfbintl.so /usr/lib/firebird/3.0/intl/libfbintl.so \
              /opt/firebird/intl/libfbintl.so; do
        if [ -f "$_f" ]; then _tarvick_intl=$_f; break; fi
    done
    if [ -f "$TARVICK_FIREBIRD_DIR/intl/libfbintl.so" ] && [ ! -L "$TARVICK_FIREBIRD_DIR/intl/libfbintl.so" ]; then
        FIREBIRD=$TARVICK_FIREBIRD_DIR/
    elif [ -n "$_tarvick_intl" ]; then
        _stage="$_tarvick_tmp/tarvick-firebird-$_tarvick_user"
        if mkdir -p "$_stage/intl" 2>/dev/null && _tarvick_usable "$_stage"; then
            # Written under a temporary name and renamed, and only when it differs: another
            # process may be loading the file this moment (db/FirebirdEnv.cpp does the same).
            _tarvick_stage_file() {
                cmp -s "$1" "$2" && return 0
                cp "$1" "$2.tmp.$$" && mv -f "$2.tmp.$$" "$2" || { rm -f "$2.tmp.$$"; return 1; }
            }
            if _tarvick_stage_file "$TARVICK_FIREBIRD_DIR/firebird.conf" "$_stage/firebird.conf" &&
               _tarvick_stage_file "$_tarvick_intl" "$_stage/intl/libfbintl.so"; then
                FIREBIRD=$_stage/
            fi
            unset -f _tarvick_stage_file
        fi
        unset _stage
    fi
    [ -n "${FIREBIRD:-}" ] && export FIREBIRD
    unset _tarvick_intl _f
fi
unset -f _tarvick_usable
unset _tarvick_user _tarvick_tmp
