# Sourced by the demo and the benchmarks: a private nginx serving one folder on loopback.
#   serve_start ROOT WORKDIR   -> sets SERVE_PORT and SERVE_URL; nginx runs until serve_stop
#   serve_stop
# Extra "server" directives may be passed in SERVE_EXTRA (for example "limit_rate 200k;").

serve_start() {
    local root="$1" work="$2"
    mkdir -p "$work"
    local port try
    for try in $(seq 1 20); do
        port=$(( 20000 + (RANDOM % 20000) ))
        cat > "$work/nginx.conf" <<CONF
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
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    types { }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $root;
        ${SERVE_EXTRA:-}
    }
}
CONF
        mkdir -p "$work/tmp"
        if nginx -c "$work/nginx.conf" -p "$work" 2>>"$work/start.log"; then
            SERVE_PORT=$port
            SERVE_URL="http://127.0.0.1:$port"
            SERVE_WORK="$work"
            return 0
        fi
    done
    echo "could not start nginx, see $work/start.log" >&2
    return 1
}

serve_stop() {
    if [ -n "${SERVE_WORK:-}" ] && [ -f "$SERVE_WORK/nginx.pid" ]; then
        kill "$(cat "$SERVE_WORK/nginx.pid")" 2>/dev/null || true
        rm -f "$SERVE_WORK/nginx.pid"
    fi
}
