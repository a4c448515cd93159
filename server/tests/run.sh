#!/usr/bin/env bash
# Starts the service on a free loopback port with a throw-away data folder, runs one test
# suite against it and stops it again. Usage: run.sh SUITE (protocol, sync, files).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server=$(dirname "$here")
suite=${1:?suite}
data=$(mktemp -d "${TMPDIR:-/tmp}/inkboat-service-test.XXXXXX")
log="$data/server.log"
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$data"
}
trap cleanup EXIT

for attempt in 1 2 3 4 5; do
    port=$(php -r '$s=stream_socket_server("tcp://127.0.0.1:0"); $n=stream_socket_get_name($s,false); echo substr($n, strrpos($n, ":")+1);')
    INKBOAT_SERVER_DATA="$data" INKBOAT_SERVICE_FAULTS_FILE="$data/faults.txt" PHP_CLI_SERVER_WORKERS=4 \
        setsid php -S "127.0.0.1:$port" -t "$server" "$server/router.php" >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 1 50); do
        if php -r 'exit(@fsockopen("127.0.0.1", (int)$argv[1]) ? 0 : 1);' "$port"; then
            break 2
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -- "-$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=""
done
if [ -z "$pid" ]; then
    echo "could not start the service"; cat "$log"; exit 1
fi

INKBOAT_SERVER_DATA="$data" php "$here/suite_$suite.php" "http://127.0.0.1:$port" "$data"
rc=$?
if [ $rc -ne 0 ]; then
    echo "---- service log (warnings and errors) ----"
    grep -v -E 'Accepted$|Closing$|Development Server' "$log" | tail -n 40
fi
# A warning or a fatal error in the service is a fault even when every answer looked right.
if grep -v 'PHP Request Startup' "$log" | grep -q -E 'PHP (Warning|Fatal|Notice|Deprecated|Parse)|inkboat: '; then
    if [ "${INKBOAT_EXPECT_SERVER_ERRORS:-}" = "" ]; then
        echo "the service logged errors:"; grep -E 'PHP (Warning|Fatal|Notice|Deprecated|Parse)|inkboat: ' "$log" | head -n 20
        rc=1
    fi
fi
exit $rc
