#!/usr/bin/env bash
# Web service benchmark against a private instance on a free loopback port.
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v php >/dev/null; then
    echo "service benchmarks: - (target: work done) not done: php not found FAIL"
    exit 1
fi
exec "$root/server/tests/with-service.sh" php "$root/server/tests/bench.php"
