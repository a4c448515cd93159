#!/usr/bin/env bash
# Web service benchmarks, each against a private instance on a free loopback port: the transfer
# bench on php -S + SQLite and on nginx + PHP-FPM + PostgreSQL, then the load mix (200 clients
# heartbeating, 20 of them syncing, 60 s) on the real stack with php -S + SQLite for comparison.
root=$(cd "$(dirname "$0")/.." && pwd)
tests=$root/server/tests
if ! command -v php >/dev/null; then
    echo "service benchmarks: - (target: work done) not done: php not found FAIL"
    exit 1
fi
rc=0
"$tests/with-service.sh" php "$tests/bench.php" || rc=1
# PostgreSQL as a host runs it: durable commits (no test shortcuts)
export STACK_PG_OPTIONS=""
INKBOAT_TEST_BACKEND=stack INKBOAT_BENCH_LABEL="service stack pgsql" INKBOAT_BENCH_HEARTBEAT_SECONDS=0 \
    "$tests/with-service.sh" php "$tests/bench.php" || rc=1
INKBOAT_TEST_BACKEND=stack INKBOAT_LOAD_LABEL="pgsql (nginx + PHP-FPM)" \
    "$tests/with-service.sh" php "$tests/load.php" || rc=1
INKBOAT_LOAD_LABEL="sqlite (php -S)" INKBOAT_LOAD_COMPARE=1 \
    "$tests/with-service.sh" php "$tests/load.php" || rc=1
exit $rc
