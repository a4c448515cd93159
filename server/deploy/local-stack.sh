#!/usr/bin/env bash
# The service on the real stack in the foreground: a throwaway PostgreSQL cluster, PHP-FPM and
# nginx with the shipped configuration on 127.0.0.1:8765 (INKBOAT_SERVICE_PORT). Ctrl+C stops all
# three and removes the folder.
set -uo pipefail
. "$(cd "$(dirname "$0")" && pwd)/stack-lib.sh"
port=${INKBOAT_SERVICE_PORT:-8765}
if php -r 'exit(@fsockopen("127.0.0.1", (int)$argv[1]) ? 0 : 1);' "$port"; then
    echo "service-stack: port $port is in use" >&2
    exit 1
fi
stack_init "$(mktemp -d "${TMPDIR:-/tmp}/inkboat-stack.XXXXXX")"
STACK_NGINX_ACCESS_LOG="$STACK_DIR/nginx/access.log"
stack_postgres || exit 1
stack_fpm || exit 1
stack_nginx "$port" || exit 1
echo "Inkboat service (nginx + PHP-FPM + PostgreSQL) on http://127.0.0.1:$port/"
echo "logs in $STACK_DIR (PHP: php-error.log, nginx/, postgres.log); Ctrl+C stops"
tail -n 0 -F "$STACK_PHP_LOG" 2>/dev/null &
# A guard, so that the stop on TERM or HUP (not only Ctrl+C in the terminal) ends it too.
STACK_GUARDS+=("$!")
while :; do
    sleep 1 &
    wait $! || break
done
