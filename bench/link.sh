# shellcheck shell=bash disable=SC2154
# Sourced by bench/run.sh: the link section. The updater and its peers fetch the same releases
# from the local nginx through bench/linkproxy, which adds a round trip and caps the bandwidth of
# each direction (one link shared by all connections of a client), on each profile:
#
#   RUNS_LINK=3                       repetitions; within one, every client takes its turn on every
#                                     profile and workload before the next repetition starts
#   LINK_PROFILES="50:50 150:10"      round trip in ms : Mbit/s
#   LINK_WORKLOADS="small medium large https"
#       small   2,000 x 8 KiB (the release of the small-files section)
#       medium  200 x 256 KiB
#       large   one file of 256 MiB, or of 64 MiB on a profile under 40 Mbit/s
#       https   2,000 x 8 KiB over HTTPS with HTTP/2, on the profile LINK_HTTPS_PROFILE only
#   LINK_CLIENTS="updater curl curlpar aria2c"   (the https workload: updater and curl)
#
# The link's limit of a cell is its bytes over the bandwidth plus two round trips (one to connect,
# one for the first request). For the https workload nginx also listens with a throw-away
# self-signed certificate made here; the updater is made to trust it without any option of its
# own: it runs in a private mount namespace in which a folder holding only that certificate is
# bound over /etc/ssl/certs. Nothing outside that namespace changes.
#
# Uses from run.sh: $www $work $publish $updater $build, run_updater, timed, stats, ratios, row,
# make_app, small_files and $SERVE_URL (nginx running).

RUNS_LINK=${RUNS_LINK:-3}
LINK_PROFILES=${LINK_PROFILES:-"50:50 150:10"}
LINK_WORKLOADS=${LINK_WORKLOADS:-"small medium large https"}
LINK_CLIENTS=${LINK_CLIENTS:-"updater curl curlpar aria2c"}
LINK_HTTPS_PROFILE=${LINK_HTTPS_PROFILE:-50:50}
linkproxy="$build/bench/linkproxy"
link_pids=()
link_cert="$work/tls"

# Before nginx starts: the throw-away certificate, and its folder as OpenSSL looks certificates
# up (the subject's hash as the name).
link_make_cert() {
    rm -rf "$link_cert"; mkdir -p "$link_cert/trusted"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
        -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
        -keyout "$link_cert/key.pem" -out "$link_cert/cert.pem" 2>/dev/null
    cp "$link_cert/cert.pem" "$link_cert/trusted/bench.pem"
    openssl rehash "$link_cert/trusted"
    export SERVE_TLS_CERT="$link_cert/cert.pem" SERVE_TLS_KEY="$link_cert/key.pem"
}

link_data_files() {
    if [ ! -f "$www/.complete-link" ]; then
        echo "making the link section's data in $www ..."
        rm -rf "$www"/link-*; mkdir -p "$www"/link-{medium/d0,large256,large64}
        local i
        for i in $(seq 0 199); do head -c 262144 /dev/urandom > "$www/link-medium/d0/f$i.bin"; done
        head -c $((256 * 1024 * 1024)) /dev/urandom > "$www/link-large256/large.bin"
        head -c $((64 * 1024 * 1024)) /dev/urandom > "$www/link-large64/large.bin"
        for i in medium large256 large64; do make_app "$www/link-$i"; done
        touch "$www/.complete-link"
    fi
}
link_publish() {
    local i
    for i in link-medium link-large256 link-large64; do
        "$publish" --version 2.0 --main app --server "$SERVE_URL/$i" --no-forms --output "$work/$i.xml" \
            "$www/$i" 2>/dev/null
    done
}

# link_proxy RTT MBIT PORT: starts a proxy to 127.0.0.1:PORT; sets PROXY_PORT.
link_proxy() {
    local out="$work/proxy-$1-$2-$3.out" i
    "$linkproxy" 0 "127.0.0.1:$3" "$1" "$2" > "$out" &
    link_pids+=("$!")
    for i in $(seq 1 100); do grep -q '^port ' "$out" && break; sleep 0.05; done
    PROXY_PORT=$(awk '/^port / { print $2 }' "$out")
    [ -n "$PROXY_PORT" ] || { echo "the link proxy did not start" >&2; exit 1; }
}
link_stop() {
    local pid
    for pid in "${link_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    link_pids=()
}

link_release() { # WORKLOAD MBIT -> the folder under $www
    case "$1" in
    small | https) echo small ;;
    medium) echo link-medium ;;
    large) if [ "$2" -ge 40 ]; then echo link-large256; else echo link-large64; fi ;;
    esac
}

# link_lists REL BASE_URL NAME: the release's configuration pointing at BASE_URL ($work/NAME.xml),
# and the same files as a curl config and an aria2c input file.
link_lists() {
    local rel="$1" base="$2" name="$3" out="$work/peer-out"
    sed "s|server=\"$SERVE_URL/$rel\"|server=\"$base/$rel\"|" "$work/$rel.xml" > "$work/$name.xml"
    grep -q "server=\"$base/$rel\"" "$work/$name.xml" || { echo "no server in $rel.xml" >&2; exit 1; }
    # The peers fetch what the updater fetches: the files the configuration lists.
    grep -o '<file path="/[^"]*"' "$work/$name.xml" | sed 's|^<file path="/||; s|"$||' > "$work/$name.list"
    awk -v u="$base/$rel/" -v o="$out/" '{ print "url = \"" u $0 "\""; print "output = \"" o $0 "\"" }' \
        "$work/$name.list" > "$work/$name.curl"
    awk -v u="$base/$rel/" '{ print u $0; print "  out=" $0 }' "$work/$name.list" > "$work/$name.aria"
}

# link_client CLIENT NAME: one run; prints seconds (the updater: seconds and peak KiB).
link_client() {
    local out="$work/peer-out" n
    rm -rf "$out"
    case "$1" in
    updater) run_updater "$2"; return ;;
    updater-tls)
        : > "$SERVE_WORK/tls-access.log"
        run_updater "$2" unshare -m -- sh -c 'mount --bind "$0" /etc/ssl/certs && exec "$@"' \
            "$link_cert/trusted"
        link_check_h2 "$1" "$2"
        return ;;
    curl) timed curl -s --fail --create-dirs -K "$work/$2.curl" ;;
    curlpar) timed curl -s --no-progress-meter --fail --create-dirs --parallel --parallel-max 6 -K "$work/$2.curl" ;;
    curl-h2)
        : > "$SERVE_WORK/tls-access.log"
        timed curl -s --no-progress-meter --fail --create-dirs --http2 --cacert "$link_cert/cert.pem" \
            --parallel -K "$work/$2.curl"
        link_check_h2 "$1" "$2" ;;
    aria2c) timed aria2c -q -j 16 -x 4 --allow-overwrite=true -d "$out" -i "$work/$2.aria" ;;
    esac
    n=$(find "$out" -type f | wc -l)
    if [ "$n" -ne "$(wc -l < "$work/$2.list")" ]; then
        echo "$1 on $2 fetched $n files of $(wc -l < "$work/$2.list")" >&2; exit 1
    fi
    rm -rf "$out"
}

# link_check_h2 CLIENT NAME: every request of the run that just ended was answered over HTTP/2.
link_check_h2() {
    local h2 all
    h2=$(grep -c '^HTTP/2.0$' "$SERVE_WORK/tls-access.log" || true)
    all=$(wc -l < "$SERVE_WORK/tls-access.log")
    if [ "$h2" -ne "$all" ] || [ "$all" -lt "$(wc -l < "$work/$2.list")" ]; then
        echo "$1 on $2: $h2 of $all requests over HTTP/2, for $(wc -l < "$work/$2.list") files" >&2; exit 1
    fi
}

link_cells=() # "RTT:MBIT WORKLOAD", in the order they run
link_run() {
    local p w c rtt mbit rel tag plain bytes
    echo "link: profiles $LINK_PROFILES, workloads $LINK_WORKLOADS, clients $LINK_CLIENTS ($RUNS_LINK repetitions)"; load
    for p in $LINK_PROFILES; do
        rtt=${p%:*}; mbit=${p#*:}; tag="link-$rtt-$mbit"
        link_proxy "$rtt" "$mbit" "$SERVE_PORT"
        for w in $LINK_WORKLOADS; do
            rel=$(link_release "$w" "$mbit")
            case "$w" in
            https)
                [ "$p" = "$LINK_HTTPS_PROFILE" ] || continue
                # A proxy of its own towards nginx's HTTPS port, on the same profile.
                plain=$PROXY_PORT; link_proxy "$rtt" "$mbit" "$SERVE_TLS_PORT"
                link_lists "$rel" "https://127.0.0.1:$PROXY_PORT" "$tag-$w"; PROXY_PORT=$plain ;;
            *) link_lists "$rel" "http://127.0.0.1:$PROXY_PORT" "$tag-$w" ;;
            esac
            bytes=$(grep -o '<file path="[^"]*" [^>]*size="[0-9]*"' "$work/$tag-$w.xml" |
                sed 's/.*size="//; s/"$//' | awk '{ s += $1 } END { print s }')
            awk -v b="$bytes" -v r="$rtt" -v m="$mbit" 'BEGIN { printf "%.4g\n", b * 8 / (m * 1e6) + 2 * r / 1000 }' \
                > "$work/$tag-$w-limit.txt"
            for c in $(link_clients_of "$w"); do : > "$work/$tag-$w-$c.txt"; done
            link_cells+=("$p $w")
        done
    done
    : > "$work/link-rss.txt"
    local i cell
    for i in $(seq "$RUNS_LINK"); do
        for cell in "${link_cells[@]}"; do
            p=${cell% *}; w=${cell#* }; tag="link-${p%:*}-${p#*:}"
            echo "  repetition $i: ${p%:*} ms, ${p#*:} Mbit/s, $w"
            for c in $(link_clients_of "$w"); do
                link_client "$c" "$tag-$w" > "$work/link-one.txt"
                awk '{ print $1 }' "$work/link-one.txt" >> "$work/$tag-$w-$c.txt"
                awk 'NF > 1 { print $2 }' "$work/link-one.txt" >> "$work/link-rss.txt"
                echo "    $c $(awk '{ print $1 }' "$work/link-one.txt") s"
            done
        done
    done
    link_stop
}
link_clients_of() { # WORKLOAD -> the clients that run it
    local c
    for c in $LINK_CLIENTS; do
        case "$1:$c" in
        https:updater) echo updater-tls ;;
        https:curl) echo curl-h2 ;;
        https:*) ;;
        *) echo "$c" ;;
        esac
    done
}

# What the proxy itself does, printed before the runs: its throughput at zero delay and without
# a cap against nginx direct (1 GiB to /dev/null, 3 times each), and on every profile the time
# curl takes to connect and to the first byte of a small file, in round trips. Also aria2c on the
# small release without the proxy: even so it takes about a tenth of a second per download in each
# of its slots, which bounds its figures over the link from below.
link_validate() {
    local i p rtt mbit
    echo "link proxy validation"; load
    link_proxy 0 0 "$SERVE_PORT"
    : > "$work/val-direct.txt"; : > "$work/val-proxy.txt"
    for i in 1 2 3; do
        curl -s --fail -o /dev/null -w '%{speed_download}\n' "$SERVE_URL/big/big.bin" |
            awk '{ printf "%.3f\n", $1 * 8 / 1e9 }' >> "$work/val-direct.txt"
        curl -s --fail -o /dev/null -w '%{speed_download}\n' "http://127.0.0.1:$PROXY_PORT/big/big.bin" |
            awk '{ printf "%.3f\n", $1 * 8 / 1e9 }' >> "$work/val-proxy.txt"
    done
    ratios "$work/val-proxy.txt" "$work/val-direct.txt" "$work/val-ratio.txt"
    echo "  1 GiB at zero delay, no cap: proxy $(stats "$work/val-proxy.txt") Gbit/s, direct $(stats "$work/val-direct.txt") Gbit/s"
    link_stop
    # aria2c paces itself: what it takes for the small release with no link in between.
    link_lists small "$SERVE_URL" direct-small
    link_client aria2c direct-small > "$work/val-aria2c.txt"
    echo "  aria2c -j 16 -x 4 on $(wc -l < "$work/direct-small.list") small files straight from nginx: $(cat "$work/val-aria2c.txt") s"
    for p in $LINK_PROFILES; do
        rtt=${p%:*}; mbit=${p#*:}
        link_proxy "$rtt" "$mbit" "$SERVE_PORT"
        : > "$work/val-$rtt-$mbit-c.txt"; : > "$work/val-$rtt-$mbit-f.txt"
        for i in 1 2 3 4 5; do
            curl -s --fail -o /dev/null -w '%{time_connect} %{time_starttransfer}\n' \
                "http://127.0.0.1:$PROXY_PORT/small/app" > "$work/val-one.txt"
            awk -v r="$rtt" '{ printf "%.3f\n", $1 * 1000 / r }' "$work/val-one.txt" >> "$work/val-$rtt-$mbit-c.txt"
            awk -v r="$rtt" '{ printf "%.3f\n", $2 * 1000 / r }' "$work/val-one.txt" >> "$work/val-$rtt-$mbit-f.txt"
        done
        echo "  $rtt ms, $mbit Mbit/s: curl connect $(stats "$work/val-$rtt-$mbit-c.txt") and first byte $(stats "$work/val-$rtt-$mbit-f.txt") round trips"
        link_stop
    done
}

link_table() {
    local p rtt mbit w tag cell u lim v n
    row "link proxy alone, zero delay and no cap: 1 GiB through it (Gbit/s; peer nginx direct, ratio proxy/direct)" \
        "$(stats "$work/val-proxy.txt")" "$(stats "$work/val-direct.txt")" "$(stats "$work/val-ratio.txt")" ">= 1 Gbit/s"
    row "\`aria2c -j 16 -x 4\` on 2,000 x 8 KiB straight from nginx, no proxy (s; its own pace)" \
        "" "$(stats "$work/val-aria2c.txt")" "" "reported"
    for p in $LINK_PROFILES; do
        rtt=${p%:*}; mbit=${p#*:}
        row "link proxy at $rtt ms, $mbit Mbit/s: \`curl -w\` connect, first byte (round trips; the kernel completes the handshake, the proxy charges it to the first byte)" \
            "$(stats "$work/val-$rtt-$mbit-c.txt")" "$(stats "$work/val-$rtt-$mbit-f.txt")" "" "first byte about 2"
    done
    for cell in "${link_cells[@]}"; do
        p=${cell% *}; w=${cell#* }; rtt=${p%:*}; mbit=${p#*:}; tag="link-$rtt-$mbit"
        rel=$(link_release "$w" "$mbit"); n=$(wc -l < "$work/$tag-$w.list")
        case "$w" in
        small) v="2,000 x 8 KiB" ;; medium) v="200 x 256 KiB" ;; https) v="2,000 x 8 KiB over HTTPS, HTTP/2" ;;
        large) v="one file of $(($(stat -c %s "$www/$rel/large.bin") / 1048576)) MiB" ;;
        esac
        v="$rtt ms, $mbit Mbit/s, $v ($n files)"
        lim=$(cat "$work/$tag-$w-limit.txt")
        u=updater; [ "$w" = https ] && u=updater-tls
        [ -s "$work/$tag-$w-$u.txt" ] || continue
        awk -v l="$lim" '{ printf "%.4f\n", $1 / l }' "$work/$tag-$w-$u.txt" > "$work/$tag-$w-r-limit.txt"
        row "$v (s; peer the link's limit $lim s, ratio updater/limit)" "$(stats "$work/$tag-$w-$u.txt")" "$lim" \
            "$(stats "$work/$tag-$w-r-limit.txt")" \
            "$(case "$w" in small) echo "<= 2" ;; https) echo "<= 1.3" ;; medium) echo "<= 1.2" ;; large) echo "<= 1.05" ;; esac)"
        local c label
        for c in aria2c curlpar curl curl-h2; do
            [ -s "$work/$tag-$w-$c.txt" ] || continue
            case "$c" in
            aria2c) label="\`aria2c -j 16 -x 4\`" ;; curlpar) label="\`curl --parallel --parallel-max 6\`" ;;
            curl) label="\`curl -K\`, one connection" ;; curl-h2) label="\`curl --parallel\` multiplexed on HTTP/2" ;;
            esac
            ratios "$work/$tag-$w-$u.txt" "$work/$tag-$w-$c.txt" "$work/$tag-$w-r-$c.txt"
            awk -v l="$lim" '{ printf "%.4f\n", $1 / l }' "$work/$tag-$w-$c.txt" > "$work/$tag-$w-l-$c.txt"
            row "$v (s; peer $label, ratio updater/peer)" "$(stats "$work/$tag-$w-$u.txt")" \
                "$(stats "$work/$tag-$w-$c.txt"); $(stats "$work/$tag-$w-l-$c.txt") x limit" \
                "$(stats "$work/$tag-$w-r-$c.txt")" "$([ "$c$w" = aria2csmall ] && echo "<= 1" || echo reported)"
        done
    done
    if [ -s "$work/link-rss.txt" ]; then
        awk '{ printf "%.1f\n", $1 / 1024 }' "$work/link-rss.txt" > "$work/link-rss-mib.txt"
        row "peak RSS of the updater, every run of the link section (MiB)" "$(stats "$work/link-rss-mib.txt")" "" "" "< 64"
    fi
}
