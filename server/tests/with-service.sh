#!/usr/bin/env bash
# Runs a command against a private instance of the service: free loopback port, throw-away
# data folder (INKBOAT_TEST_BASE, INKBOAT_TEST_DATA), stopped again afterwards. INKBOAT_TEST_BACKEND
# picks the stack: sqlite (php -S, the default), pgsql (php -S on a throw-away PostgreSQL cluster) or
# stack (nginx + PHP-FPM + PostgreSQL with the shipped configuration). Every process runs in its own
# session with a guard, so that even a killed test run leaves nothing behind.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server=$(dirname "$here")
. "$server/deploy/stack-lib.sh"
stack_init "$(mktemp -d "${TMPDIR:-/tmp}/inkboat-service-test.XXXXXX")"
data=$STACK_DIR/data
mkdir -p "$data"
log="$STACK_DIR/server.log"
export INKBOAT_SERVER_DATA="$data" INKBOAT_SERVICE_FAULTS_FILE="$data/faults.txt" STACK_TEST_HOOKS="$here/Faults.php"
# Every test signs up its users from 127.0.0.1: the limit per address is for the test that sets it.
export INKBOAT_LIMIT_REGISTER_PER_HOUR=${INKBOAT_LIMIT_REGISTER_PER_HOUR:-1000000}

backend=${INKBOAT_TEST_BACKEND:-sqlite}
if [ "$backend" != sqlite ]; then
    # the tests want speed, not durability (a benchmark sets STACK_PG_OPTIONS, even to nothing)
    STACK_PG_OPTIONS=${STACK_PG_OPTIONS-"-c fsync=off -c synchronous_commit=off -c full_page_writes=off"} \
        stack_postgres || exit 1
fi

started=""
tls=()
if [ "$backend" = stack ]; then
    # https as shipped (INKBOAT_TEST_TLS_BASE, its CA in INKBOAT_TEST_CA) and the same site over plain
    # http (INKBOAT_TEST_BASE); the sign-in limit per address is raised for tests that sign up many users.
    port=$(stack_free_port)
    tlsport=$(stack_free_port)
    # INKBOAT_TEST_POOLS PHP-FPM "hosts" (default 1) behind the one nginx upstream
    for _ in $(seq 1 "${INKBOAT_TEST_POOLS:-1}"); do stack_fpm || break; done
    [ ${#STACK_FPM_SOCKETS[@]} -eq "${INKBOAT_TEST_POOLS:-1}" ] &&
        STACK_AUTH_RATE=${STACK_AUTH_RATE:-100000r/s} stack_nginx "$tlsport" "$(stack_free_port)" "$port" && started=1
    tls=(INKBOAT_TEST_TLS_BASE="https://localhost:$tlsport" INKBOAT_TEST_CA="$STACK_TLS_CA" INKBOAT_TEST_STACK="$STACK_DIR")
    log=$STACK_PHP_LOG
    touch "$log"
else
    for attempt in 1 2 3 4 5; do
        port=$(stack_free_port)
        PHP_CLI_SERVER_WORKERS=${PHP_CLI_SERVER_WORKERS:-4} stack_spawn "$log" TERM \
            php -S "127.0.0.1:$port" -t "$server" "$here/test-router.php"
        if stack_wait_port "$port"; then
            started=1
            break
        fi
        stack_stop_last
    done
fi
[ -n "$started" ] || { echo "could not start the service"; cat "$log"; exit 1; }

env "${tls[@]}" INKBOAT_TEST_BASE="http://127.0.0.1:$port" INKBOAT_TEST_DATA="$data" "$@"
rc=$?
[ $rc -eq 0 ] || { echo "---- service log (warnings and errors) ----"
    grep -v -E 'Accepted$|Closing$|Development Server|speculative preconnection' "$log" | tail -n 40; }
# A warning or an internal error in the service is a fault even when every answer looked right.
# (PHP's own start-up notes about request bodies are expected: the service reads raw bodies.)
errors=$(grep -v 'PHP Request Startup' "$log" | grep -E 'PHP (Warning|Fatal|Notice|Deprecated|Parse)|inkboat: ' | head -n 20)
[ -z "$errors" ] || { printf 'the service logged errors:\n%s\n' "$errors"; rc=1; }
exit $rc
