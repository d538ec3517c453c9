#!/bin/sh
# Builds the report benchmark's call database once: N calls (10 000 000 by default) spread evenly
# over the two years 2025 and 2026, 300 extensions, 16 lines, three stations, every third call
# incoming. The rows are made inside the engine, a million to a transaction, with the indexes
# switched off meanwhile and rebuilt at the end.
#   bench/reports-data.sh /tmp/reports-bench.fdb [N]
set -eu
db=$1
n=${2:-10000000}
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/scripts/create-db.sh" "$db" >/dev/null
TARVICK_FIREBIRD_DIR="$root/data/firebird"
. "$root/data/firebird/env.sh"
sql=$(mktemp)
# Every index of Rings, off while the rows go in.
indexes="Rings_NumberIn_RingDate Rings_RingDate_ID Rings_Source Rings_ID"
trap 'rm -f "$sql"' EXIT
{
    for i in $indexes; do
        echo "ALTER INDEX $i INACTIVE;"
    done
    echo "COMMIT;"
    echo "INSERT INTO Users (NumberIN, FIO) SELECT 100 + RDB\$RELATION_ID, 'Owner ' || RDB\$RELATION_ID FROM RDB\$RELATIONS;"
    echo "COMMIT;"
    echo "SET TERM ^ ;"
    start=0
    while [ "$start" -lt "$n" ]; do
        end=$((start + 1000000))
        [ "$end" -gt "$n" ] && end=$n
        cat <<SQL
EXECUTE BLOCK AS DECLARE i BIGINT = $start; DECLARE t TIMESTAMP; DECLARE d INTEGER; BEGIN
  WHILE (i < $end) DO BEGIN
    t = DATEADD(SECOND, :i * 63072000 / $n, TIMESTAMP '2025-01-01 00:00:00');
    d = MOD(:i * 37, 900);
    INSERT INTO Rings (RDay, RMont, RYear, RHour, RMin, RSec, RLine, TimeHour, TimeMin, TimeSec,
        NumberIn, NumberOut, RingDate, Station)
      VALUES (EXTRACT(DAY FROM :t), EXTRACT(MONTH FROM :t), MOD(EXTRACT(YEAR FROM :t), 100),
        EXTRACT(HOUR FROM :t), EXTRACT(MINUTE FROM :t), EXTRACT(SECOND FROM :t), 1 + MOD(:i, 16),
        0, :d / 60, MOD(:d, 60), 100 + MOD(:i * 7, 300),
        IIF(MOD(:i, 3) = 0, '0', '8495' || (1000000 + MOD(:i * 7919, 50000))), :t,
        'st' || MOD(:i, 3));
    i = i + 1; END END^
COMMIT^
SQL
        start=$end
    done
    echo "SET TERM ; ^"
    for i in $indexes; do
        echo "ALTER INDEX $i ACTIVE;"
    done
    echo "COMMIT;"
} >"$sql"
isql-fb -q -bail -user SYSDBA -password quillfern -i "$sql" "$db"
