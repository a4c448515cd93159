#!/usr/bin/env bash
# One test suite against a private service instance. Usage: run.sh protocol|sync|files
here=$(cd "$(dirname "$0")" && pwd)
suite=${1:?suite}
exec "$here/with-service.sh" sh -c 'exec php "$0/suite_$1.php" "$INKBOAT_TEST_BASE" "$INKBOAT_TEST_DATA"' "$here" "$suite"
