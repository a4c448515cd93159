#!/usr/bin/env bash
# Web service benchmarks, each against a private instance on a free loopback port: the transfer
# bench on php -S + SQLite and on nginx + PHP-FPM + PostgreSQL, then the load mix (200 clients
# heartbeating, 20 of them syncing, 60 s) on the real stack over https (with plain http and two
# PHP-FPM hosts for the ratios), and on php -S + SQLite for comparison.
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
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
# The load mix on one stack: over https as a host serves it (the verdict), and the same over plain
# http for the cost of TLS; then through two PHP-FPM hosts behind the one nginx upstream.
INKBOAT_TEST_BACKEND=stack "$tests/with-service.sh" sh -c '
    INKBOAT_LOAD_LABEL="pgsql (nginx + PHP-FPM) plain http" INKBOAT_LOAD_COMPARE=1 INKBOAT_LOAD_RESULT=$0/plain php "$1/load.php"
    INKBOAT_TEST_BASE=$INKBOAT_TEST_TLS_BASE INKBOAT_LOAD_LABEL="pgsql (nginx + TLS + PHP-FPM)" INKBOAT_LOAD_RESULT=$0/tls php "$1/load.php"' \
    "$results" "$tests" || rc=1
INKBOAT_TEST_BACKEND=stack INKBOAT_TEST_POOLS=2 "$tests/with-service.sh" sh -c '
    INKBOAT_TEST_BASE=$INKBOAT_TEST_TLS_BASE INKBOAT_LOAD_LABEL="pgsql (nginx + TLS + two PHP-FPM hosts)" INKBOAT_LOAD_COMPARE=1 \
        INKBOAT_LOAD_RESULT=$0/two php "$1/load.php"' "$results" "$tests" || rc=1
php -r '
    $r = fn ($n) => json_decode((string)@file_get_contents("$argv[1]/$n"), true) ?: null;
    [$plain, $tls, $two] = [$r("plain"), $r("tls"), $r("two")];
    foreach ([["tls_vs_plain", $tls, $plain], ["two_hosts_vs_one", $two, $tls]] as [$name, $a, $b]) {
        if (!$a || !$b) {
            echo "service stack load_$name: - (target: both runs measured) not done: a run gave no figures FAIL\n";
            continue;
        }
        printf("service stack load_%s: heartbeat p50 x%.2f, heartbeat p99 x%.2f, commit p99 x%.2f, requests per second x%.2f (ratios, for comparison)\n",
            $name, $a["heartbeat_p50"] / $b["heartbeat_p50"], $a["heartbeat_p99"] / $b["heartbeat_p99"],
            $a["commit_p99"] / $b["commit_p99"], $a["rps"] / $b["rps"]);
    }' "$results" || rc=1
INKBOAT_LOAD_LABEL="sqlite (php -S)" INKBOAT_LOAD_COMPARE=1 \
    "$tests/with-service.sh" php "$tests/load.php" || rc=1
exit $rc
