#!/usr/bin/env bash
# The service on the real stack in the foreground: a throwaway PostgreSQL cluster, PHP-FPM and
# nginx with the shipped configuration: https on 127.0.0.1:8443 (INKBOAT_SERVICE_TLS_PORT) with a
# throwaway certificate, plain http on 127.0.0.1:8765 (INKBOAT_SERVICE_PORT) redirecting there.
# Ctrl+C stops all three and removes the folder.
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/stack-lib.sh"
port=${INKBOAT_SERVICE_PORT:-8765}
tlsport=${INKBOAT_SERVICE_TLS_PORT:-8443}
for p in "$port" "$tlsport"; do
    if php -r 'exit(@fsockopen("127.0.0.1", (int)$argv[1]) ? 0 : 1);' "$p"; then
        echo "service-stack: port $p is in use" >&2
        exit 1
    fi
done
stack_init "$(mktemp -d "${TMPDIR:-/tmp}/inkboat-stack.XXXXXX")"
stack_postgres || exit 1
stack_fpm || exit 1
stack_nginx "$tlsport" "$port" || exit 1
echo "Inkboat service (nginx + PHP-FPM + PostgreSQL) on https://localhost:$tlsport/ (http://127.0.0.1:$port/ redirects)"
echo "its throwaway certificate is signed by $STACK_TLS_CA (trust it only for this run)"
echo "logs in $STACK_DIR (PHP: php-error.log, nginx/, postgres.log); Ctrl+C stops"
tail -n 0 -F "$STACK_PHP_LOG" 2>/dev/null &
# A guard, so that the stop on TERM or HUP (not only Ctrl+C in the terminal) ends it too.
STACK_GUARDS+=("$!")
while :; do
    sleep 1 &
    wait $! || break
done
