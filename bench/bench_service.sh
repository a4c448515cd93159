#!/usr/bin/env bash
# Web service benchmark against a private instance on a free loopback port.
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$root/server/tests/with-service.sh" php "$root/server/tests/bench.php"
