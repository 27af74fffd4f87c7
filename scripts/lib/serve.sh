# Sourced by the demo and the benchmarks: a private nginx serving one folder on loopback.
#   serve_start ROOT WORKDIR   -> sets SERVE_PORT and SERVE_URL; nginx runs until serve_stop
#   serve_stop
# Extra "server" directives may be passed in SERVE_EXTRA (for example "limit_rate 200k;").
# With SERVE_TLS_CERT and SERVE_TLS_KEY (PEM files) the same folder is also served over HTTPS with
# HTTP/2 on a second port: SERVE_TLS_PORT; the protocol of every request it answers is logged to
# WORKDIR/tls-access.log, one line each (HTTP/2.0 or HTTP/1.1).
# nginx runs as one process of the invoking user (no master, no worker switching to another
# user), so it reads whatever that user can read, /root included; it listens on loopback only.

# nginx lives in /usr/sbin, which is not on an ordinary user's PATH.
serve_nginx() {
    command -v nginx 2>/dev/null && return 0
    local dir
    for dir in /usr/sbin /usr/local/sbin /sbin; do
        if [ -x "$dir/nginx" ]; then
            echo "$dir/nginx"
            return 0
        fi
    done
    return 1
}

serve_start() {
    local root="$1" work="$2"
    mkdir -p "$work"
    local port try nginx tls tlshttp
    if ! nginx="$(serve_nginx)"; then
        echo "nginx is not installed (scripts/deps.sh installs nginx-light)" >&2
        return 1
    fi
    for try in $(seq 1 20); do
        port=$(( 20000 + (RANDOM % 20000) ))
        tls="" tlshttp=""
        if [ -n "${SERVE_TLS_CERT:-}" ]; then
            tls="listen 127.0.0.1:$((port + 1)) ssl http2;
        ssl_certificate $SERVE_TLS_CERT;
        ssl_certificate_key $SERVE_TLS_KEY;
        access_log $work/tls-access.log protocol if=\$serve_tls;"
            tlshttp="log_format protocol '\$server_protocol';
    map \$https \$serve_tls { on 1; default 0; }"
        fi
        cat > "$work/nginx.conf" <<CONF
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 60s;
    gzip off;
    $tlshttp
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    types { }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        $tls
        root $root;
        ${SERVE_EXTRA:-}
    }
}
CONF
        mkdir -p "$work/tmp"
        # -e: the error log from the start, never the system's /var/log/nginx.
        if "$nginx" -e "$work/error.log" -c "$work/nginx.conf" -p "$work" 2>>"$work/start.log"; then
            SERVE_PORT=$port
            SERVE_URL="http://127.0.0.1:$port"
            SERVE_WORK="$work"
            SERVE_TLS_PORT=$([ -n "$tls" ] && echo $((port + 1)) || true)
            return 0
        fi
    done
    echo "could not start nginx, see $work/start.log" >&2
    return 1
}

serve_stop() {
    if [ -n "${SERVE_WORK:-}" ] && [ -f "$SERVE_WORK/nginx.pid" ]; then
        local pid i
        pid="$(cat "$SERVE_WORK/nginx.pid")"
        kill "$pid" 2>/dev/null || true
        # nginx removes its pid file as it exits; wait for that so nothing outlives the script.
        for i in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        rm -f "$SERVE_WORK/nginx.pid"
    fi
}
