# Throwaway copies of the real stack (PostgreSQL cluster, PHP-FPM, nginx) in one folder, with the
# shipped configuration. Sourced by local-stack.sh and the tests. Every process runs in its own
# session and has a guard that ends it when the shell that started it is gone, even after kill -9.
# Usage: stack_init DIR; stack_postgres; stack_fpm; stack_nginx TLS_PORT REDIRECT_PORT [PLAIN_PORT]; ...; stack_stop

STACK_DEPLOY=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
STACK_SERVER=$(dirname "$STACK_DEPLOY")
STACK_PIDS=()
STACK_GUARDS=()
STACK_OWNER=()
[ "$(id -u)" -eq 0 ] && STACK_OWNER=(setpriv --reuid=postgres --regid=postgres --init-groups --)

stack_free_port() {
    php -r '$s=stream_socket_server("tcp://127.0.0.1:0"); $n=stream_socket_get_name($s,false); echo substr($n, strrpos($n, ":")+1);'
}

# PostgreSQL refuses to run as root: as root the cluster belongs to the postgres user.
stack_as_owner() {
    "${STACK_OWNER[@]}" "$@"
}

stack_init() {
    STACK_DIR=$1
    mkdir -p "$STACK_DIR"
    chmod 755 "$STACK_DIR"
    trap stack_stop EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    trap 'exit 141' PIPE
    # the folder goes too when this shell is killed outright (after the other guards are done)
    [ -z "${STACK_KEEP:-}" ] && setsid bash -c 'while kill -0 "$0" 2>/dev/null; do sleep 1; done; sleep 12; rm -rf "$1"' \
        "$$" "$STACK_DIR" >/dev/null 2>&1 </dev/null &
    STACK_GUARDS+=("$!")
}

# Starts "$@" in a new session; its guard sends $STACK_STOP_SIGNAL (default TERM) to the session
# once this shell has ended without stopping it.
stack_spawn() {
    local log=$1 sig=$2
    shift 2
    setsid "$@" >>"$log" 2>&1 </dev/null &
    local pid=$!
    setsid bash -c 'while kill -0 "$0" 2>/dev/null; do sleep 1; done
        kill -"$2" -- -"$1" 2>/dev/null || exit 0
        for _ in $(seq 1 100); do kill -0 -- -"$1" 2>/dev/null || exit 0; sleep 0.1; done
        kill -KILL -- -"$1"' "$$" "$pid" "$sig" >/dev/null 2>&1 </dev/null &
    STACK_PIDS+=("$pid:$sig:$!")
}

stack_wait_port() {
    local port=$1
    for _ in $(seq 1 100); do
        php -r 'exit(@fsockopen("127.0.0.1", (int)$argv[1]) ? 0 : 1);' "$port" && return 0
        sleep 0.1
    done
    return 1
}

# A cluster on a free port with the role and database of postgres-setup.sql; exports the
# service's connection variables. Extra server settings: STACK_PG_OPTIONS ("-c fsync=off ...").
stack_postgres() {
    local bin pg=$STACK_DIR/postgres
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    if [ -z "$bin" ]; then
        echo "stack: PostgreSQL is not installed (scripts/install-deps)" >&2
        return 1
    fi
    mkdir -p "$pg"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$pg"
    chmod 700 "$pg"
    stack_as_owner "$bin/initdb" -D "$pg/data" -U postgres -E UTF8 --locale=C.UTF-8 \
        --auth-local=trust --auth-host=scram-sha-256 >"$STACK_DIR/initdb.log" 2>&1 \
        || { cat "$STACK_DIR/initdb.log" >&2; return 1; }
    local ready=""
    for _ in 1 2 3; do   # another run may take the free port first
        STACK_PG_PORT=$(stack_free_port)
        # SIGINT is PostgreSQL's fast shutdown
        # shellcheck disable=SC2086
        stack_spawn "$STACK_DIR/postgres.log" INT "${STACK_OWNER[@]}" "$bin/postgres" -D "$pg/data" -p "$STACK_PG_PORT" \
            -k "$pg" -c listen_addresses=127.0.0.1 -c max_connections=200 ${STACK_PG_OPTIONS:-}
        for _ in $(seq 1 150); do
            "$bin/pg_isready" -q -h "$pg" -p "$STACK_PG_PORT" && ready=1 && break 2
            kill -0 "${STACK_PIDS[-1]%%:*}" 2>/dev/null || break
            sleep 0.1
        done
        stack_stop_last
    done
    [ -n "$ready" ] || { echo "stack: PostgreSQL did not start" >&2; cat "$STACK_DIR/postgres.log" >&2; return 1; }
    STACK_PG_PASSWORD=$(php -r 'echo bin2hex(random_bytes(12));')
    psql -X -q -h "$pg" -p "$STACK_PG_PORT" -U postgres -d postgres -v password="$STACK_PG_PASSWORD" \
        -f "$STACK_DEPLOY/postgres-setup.sql" >>"$STACK_DIR/postgres.log" 2>&1 \
        || { cat "$STACK_DIR/postgres.log" >&2; return 1; }
    export INKBOAT_SERVER_DSN="pgsql:host=127.0.0.1;port=$STACK_PG_PORT;dbname=inkboat"
    export INKBOAT_SERVER_DB_USER=inkboat
    export INKBOAT_SERVER_DB_PASSWORD=$STACK_PG_PASSWORD
}

# PHP-FPM with the shipped pool; the workers get the service's variables of this shell. Called
# again, another PHP-FPM with its own socket: a second "host" (STACK_FPM_SOCKETS lists them all).
STACK_FPM_SOCKETS=()
stack_fpm() {
    local fpm n=${#STACK_FPM_SOCKETS[@]}
    local conf=$STACK_DIR/php-fpm$n.conf pool=$STACK_DIR/pool$n.conf
    fpm=$(ls /usr/sbin/php-fpm* 2>/dev/null | sort -V | tail -n 1)
    if [ -z "$fpm" ]; then
        echo "stack: PHP-FPM is not installed (scripts/install-deps)" >&2
        return 1
    fi
    export INKBOAT_SERVER_DATA=${INKBOAT_SERVER_DATA:-$STACK_DIR/data}
    mkdir -p "$INKBOAT_SERVER_DATA/app"
    STACK_FPM_SOCKET=$STACK_DIR/php-fpm$n.sock
    STACK_PHP_LOG=$STACK_DIR/php-error.log
    local q='"'
    sed -e '/^user = /d' -e '/^group = /d' -e '/^listen\.owner/d' -e '/^listen\.group/d' \
        -e "s|^listen = .*|listen = $STACK_FPM_SOCKET|" -e 's|^listen.mode = .*|listen.mode = 0666|' \
        -e "s|^slowlog = .*|slowlog = $STACK_DIR/php-slow.log|" \
        -e "s|^php_admin_value\[error_log\] = .*|php_admin_value[error_log] = $STACK_PHP_LOG|" \
        -e "s|^env\[INKBOAT_SERVER_DSN\] = .*|env[INKBOAT_SERVER_DSN] = $q${INKBOAT_SERVER_DSN:-}$q|" \
        -e "s|^env\[INKBOAT_SERVER_DB_USER\] = .*|env[INKBOAT_SERVER_DB_USER] = $q${INKBOAT_SERVER_DB_USER:-}$q|" \
        -e "s|^env\[INKBOAT_SERVER_DB_PASSWORD\] = .*|env[INKBOAT_SERVER_DB_PASSWORD] = $q${INKBOAT_SERVER_DB_PASSWORD:-}$q|" \
        -e "s|^env\[INKBOAT_SERVER_DATA\] = .*|env[INKBOAT_SERVER_DATA] = $INKBOAT_SERVER_DATA|" \
        "$STACK_DEPLOY/php-fpm-inkboat.conf" >"$pool"
    # limits set in this shell (INKBOAT_LIMIT_*) reach the workers too
    local v
    for v in $(compgen -e | grep '^INKBOAT_LIMIT_'); do
        echo "env[$v] = ${!v}" >>"$pool"
    done
    # the tests' fault hooks: loaded ahead of the service, never by the shipped pool
    if [ -n "${STACK_TEST_HOOKS:-}" ]; then
        printf 'php_admin_value[auto_prepend_file] = %s\nenv[INKBOAT_SERVICE_FAULTS_FILE] = %s\n' \
            "$STACK_TEST_HOOKS" "${INKBOAT_SERVICE_FAULTS_FILE:-}" >>"$pool"
    fi
    printf '[global]\npid = %s\nerror_log = %s\ndaemonize = no\ninclude = %s\n' \
        "$STACK_DIR/php-fpm$n.pid" "$STACK_DIR/php-fpm$n.log" "$pool" >"$conf"
    local asroot=()
    [ "$(id -u)" -eq 0 ] && asroot=(-R)
    stack_spawn "$STACK_DIR/php-fpm$n.out" QUIT "$fpm" --nodaemonize "${asroot[@]}" -y "$conf"
    for _ in $(seq 1 100); do
        [ -S "$STACK_FPM_SOCKET" ] && STACK_FPM_SOCKETS+=("$STACK_FPM_SOCKET") && return 0
        sleep 0.1
    done
    echo "stack: PHP-FPM did not start" >&2
    cat "$STACK_DIR/php-fpm$n.log" >&2
    return 1
}

# A throwaway certificate (ECDSA P-256: a tenth of the handshake cost of RSA 2048) for 127.0.0.1 and localhost in $STACK_DIR/tls (server.pem, server.key),
# signed by a throwaway CA of its own (ca.pem): what a client given that CA verifies.
stack_tls() {
    local t=$STACK_DIR/tls
    mkdir -p "$t"
    {
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Inkboat throwaway CA" \
            -keyout "$t/ca.key" -out "$t/ca.pem" &&
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" -keyout "$t/server.key" -out "$t/server.csr" &&
        printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$t/ext" &&
        openssl x509 -req -in "$t/server.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" -CAcreateserial -days 2 \
            -extfile "$t/ext" -out "$t/server.pem"
    } >"$t/openssl.log" 2>&1 || { echo "stack: no certificate made" >&2; cat "$t/openssl.log" >&2; return 1; }
    STACK_TLS_CA=$t/ca.pem
}

# nginx with the shipped site, serving this checkout and the data folder's app/: https on
# 127.0.0.1:TLS_PORT with the throwaway certificate, its redirect from plain http on
# 127.0.0.1:REDIRECT_PORT, and with PLAIN_PORT the same site over plain http too (for the tests
# that measure or need no TLS). Logs in $STACK_DIR/nginx/ in the site's own formats.
stack_nginx() {
    local tls=$1 redirect=$2 plain=${3:-} ng=$STACK_DIR/nginx
    mkdir -p "$ng/tmp"
    [ -n "${STACK_TLS_CA:-}" ] || stack_tls || return 1
    local t=$STACK_DIR/tls extra="" upstreams="" sock
    # every PHP-FPM started is a server of the upstream: round robin, no sticky sessions
    for sock in "${STACK_FPM_SOCKETS[@]}"; do
        upstreams+="server unix:$sock;\\n    "
    done
    [ -n "$plain" ] && extra="\\n    listen 127.0.0.1:$plain;"
    sed -e '/listen \[::\]/d' -e "s|^\( *\)listen 80;|\1listen 127.0.0.1:$redirect;|" \
        -e "s|^\( *\)listen 443 ssl;|\1listen 127.0.0.1:$tls ssl;$extra|" \
        -e "s|return 301 https://\$host\$request_uri;|return 301 https://\$host:$tls\$request_uri;|" \
        -e "s|ssl_certificate .*|ssl_certificate $t/server.pem;|" -e "s|ssl_certificate_key .*|ssl_certificate_key $t/server.key;|" \
        -e "s|server unix:/run/php/inkboat-fpm.sock;|$upstreams|" \
        -e "s|/var/log/nginx/|$ng/|" -e "s|root /var/lib/inkboat/acme;|root $STACK_DIR/acme;|" \
        -e "s|root /srv/inkboat/server;|root $STACK_SERVER;|" -e "s|include fastcgi_params;|include /etc/nginx/fastcgi_params;|" \
        -e "s|alias /var/lib/inkboat/app/;|alias $INKBOAT_SERVER_DATA/app/;|" \
        -e "s|rate=5r/s;|rate=${STACK_AUTH_RATE:-5r/s};|" \
        "$STACK_DEPLOY/nginx-inkboat.conf" >"$ng/site.conf"
    {
        # as root the workers stay root: the throwaway folders are private to this user
        [ "$(id -u)" -eq 0 ] && echo 'user root root;'
        cat <<CONF
worker_processes 2;
pid $ng/nginx.pid;
error_log $ng/error.log warn;
events { worker_connections 2048; }
http {
    include /etc/nginx/mime.types;
    client_body_temp_path $ng/tmp/body;
    fastcgi_temp_path $ng/tmp/fastcgi;
    proxy_temp_path $ng/tmp/proxy;
    scgi_temp_path $ng/tmp/scgi;
    uwsgi_temp_path $ng/tmp/uwsgi;
    include $ng/site.conf;
}
CONF
    } >"$ng/nginx.conf"
    stack_spawn "$STACK_DIR/nginx.out" QUIT nginx -e "$ng/error.log" -p "$ng" -c "$ng/nginx.conf" -g 'daemon off;'
    stack_wait_port "$tls" || { echo "stack: nginx did not start" >&2; cat "$ng/error.log" "$STACK_DIR/nginx.out" >&2; return 1; }
}

# Stops the process started last (one that failed to come up).
stack_stop_last() {
    local n=$((${#STACK_PIDS[@]} - 1)) pid guard
    pid=${STACK_PIDS[$n]%%:*}
    guard=${STACK_PIDS[$n]##*:}
    kill "$guard" 2>/dev/null
    wait "$guard" 2>/dev/null
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    STACK_PIDS=("${STACK_PIDS[@]:0:$n}")
}

# Stops everything in reverse order and removes the folder; waits until the processes are gone.
stack_stop() {
    local i entry pid sig guard
    trap - EXIT INT TERM HUP PIPE
    for pid in "${STACK_GUARDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    STACK_GUARDS=()
    for ((i = ${#STACK_PIDS[@]} - 1; i >= 0; i--)); do
        entry=${STACK_PIDS[$i]}
        pid=${entry%%:*}
        guard=${entry##*:}
        sig=${entry#*:}
        sig=${sig%%:*}
        kill "$guard" 2>/dev/null
        wait "$guard" 2>/dev/null
        kill -"$sig" -- "-$pid" 2>/dev/null
        for _ in $(seq 1 100); do
            kill -0 -- "-$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    STACK_PIDS=()
    [ -n "${STACK_DIR:-}" ] && [ -z "${STACK_KEEP:-}" ] && rm -rf "$STACK_DIR"
    return 0
}
