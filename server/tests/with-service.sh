#!/usr/bin/env bash
# Runs a command against a private instance of the service: free loopback port, throw-away
# data folder (INKBOAT_TEST_BASE, INKBOAT_TEST_DATA), stopped again afterwards. The service runs in
# its own process group with a watchdog in it, so that even a killed test run leaves nothing behind.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server=$(dirname "$here")
data=$(mktemp -d "${TMPDIR:-/tmp}/inkboat-service-test.XXXXXX")
log="$data/server.log"
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        # the service and its workers share the process group setsid gave them
        kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$data"
}
trap cleanup EXIT

for attempt in 1 2 3 4 5; do
    port=$(php -r '$s=stream_socket_server("tcp://127.0.0.1:0"); $n=stream_socket_get_name($s,false); echo substr($n, strrpos($n, ":")+1);')
    INKBOAT_SERVER_DATA="$data" INKBOAT_SERVICE_FAULTS_FILE="$data/faults.txt" \
        PHP_CLI_SERVER_WORKERS=${PHP_CLI_SERVER_WORKERS:-4} \
        setsid bash -c '(sleep "$0"; kill -- -$$) & exec php -S "127.0.0.1:$1" -t "$2" "$2/router.php"' \
        "${INKBOAT_TEST_SERVICE_LIFETIME:-900}" "$port" "$server" >"$log" 2>&1 &
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

INKBOAT_SERVER_DATA="$data" INKBOAT_TEST_BASE="http://127.0.0.1:$port" INKBOAT_TEST_DATA="$data" "$@"
rc=$?
if [ $rc -ne 0 ]; then
    echo "---- service log (warnings and errors) ----"
    grep -v -E 'Accepted$|Closing$|Development Server|speculative preconnection' "$log" | tail -n 40
fi
# A warning or an internal error in the service is a fault even when every answer looked right.
# (PHP's own start-up notes about request bodies are expected: the service reads raw bodies.)
if grep -v 'PHP Request Startup' "$log" | grep -q -E 'PHP (Warning|Fatal|Notice|Deprecated|Parse)|inkboat: '; then
    echo "the service logged errors:"
    grep -v 'PHP Request Startup' "$log" | grep -E 'PHP (Warning|Fatal|Notice|Deprecated|Parse)|inkboat: ' | head -n 20
    rc=1
fi
exit $rc
