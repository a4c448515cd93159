#!/usr/bin/env bash
# One test suite against a private service instance. Usage: run.sh protocol|sync|files
# With INKBOAT_TEST_BACKEND=pgsql the suite runs on SQLite and on PostgreSQL, and the two runs must
# have answered every API call the same, byte for byte (random names and tokens numbered).
here=$(cd "$(dirname "$0")" && pwd)
suite=${1:?suite}
run() {
    "$here/with-service.sh" sh -c 'exec php "$0/suite_$1.php" "$INKBOAT_TEST_BASE" "$INKBOAT_TEST_DATA"' "$here" "$suite"
}
if [ "${INKBOAT_TEST_BACKEND:-sqlite}" != pgsql ]; then
    run
    exit
fi
transcripts=$(mktemp -d "${TMPDIR:-/tmp}/inkboat-transcripts.XXXXXX")
trap 'rm -rf "$transcripts"' EXIT
echo "== on SQLite"
INKBOAT_TEST_BACKEND=sqlite INKBOAT_TEST_TRANSCRIPT=$transcripts/sqlite run || exit 1
echo "== on PostgreSQL"
INKBOAT_TEST_TRANSCRIPT=$transcripts/pgsql run || exit 1
touch "$transcripts/sqlite" "$transcripts/pgsql"
cmp -s "$transcripts/sqlite" "$transcripts/pgsql" || { echo "FAIL answers differ between SQLite and PostgreSQL:"
    diff -u "$transcripts/sqlite" "$transcripts/pgsql" | head -n 40; exit 1; }
echo "PASS same answers on SQLite and PostgreSQL ($(grep -c '^g=' "$transcripts/sqlite") calls)"
