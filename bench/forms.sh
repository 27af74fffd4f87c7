# shellcheck shell=bash disable=SC2154
# Sourced by bench/run.sh: the release-pair section. Real releases, fetched once with
# `npm pack NAME@VERSION` (each package's folder is a release, with a small `app` as its main
# program), are published three ways and installed over the earlier release through
# bench/linkproxy:
#
#   patch   `updater-publish --previous OLD/UpdateCfg.xml`: patches and compressed copies
#   zst     no --previous: compressed copies only
#   plain   `--no-forms`: every changed file whole, as before the forms existed
#
#   FORMS_PAIRS="typescript:5.3.3:5.4.5 typescript:5.4.4:5.4.5 @esbuild/linux-x64:0.19.11:0.19.12"
#   FORMS_PROFILE=150:10     round trip in ms : Mbit/s
#   RUNS_FORMS=3             repetitions; within one, each pair is published and installed in
#                            every way before the next pair
#
# Each run starts from an installation of the earlier release (its files and its configuration)
# and ends with the later release installed, compared file by file with the release. Measured:
# the bytes the proxy carried in both directions (requests, headers, bodies: the wire), the
# updater's wall time, its peak RSS and its peak anonymous memory (sampled every 10 ms from
# /proc: the RSS also counts the pages of files it maps, the installed copies a patch applies to
# and the Qt libraries, which are not the updater's own memory), and the publisher's time for
# each way. The log tells which
# form each file came in; a fallback fails the section.
#
# Uses from run.sh: $www $work $data $publish $updater, timed, stats, ratios, row, make_app, load,
# link_proxy, link_stop, $PROXY_PORT and $SERVE_PORT (nginx running).

FORMS_PAIRS=${FORMS_PAIRS:-"typescript:5.3.3:5.4.5 typescript:5.4.4:5.4.5 @esbuild/linux-x64:0.19.11:0.19.12"}
FORMS_PROFILE=${FORMS_PROFILE:-150:10}
RUNS_FORMS=${RUNS_FORMS:-3}
forms_ways="patch zst plain"

forms_id() { # NAME:OLD:NEW -> a folder name
    local p="$1"
    p=${p#@}; echo "${p//[\/:]/-}"
}

# forms_package NAME VERSION -> the folder holding the unpacked package (fetched once)
forms_package() {
    local dir="$data/npm/${1//\//-}-$2" tgz
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir"; mkdir -p "$dir/unpacked"
        tgz=$(cd "$dir" && npm pack --silent "$1@$2" | tail -n 1)
        tar -xzf "$dir/$tgz" -C "$dir/unpacked"
        touch "$dir/.complete"
    fi
    echo "$dir/unpacked/package"
}

# Lays out and publishes every pair; the publisher's times go to $work/forms-ID-WAY-pub.txt.
forms_prepare() {
    local pair name old new id way
    echo "release pairs: $FORMS_PAIRS (fetched with npm pack)"
    for pair in $FORMS_PAIRS; do
        IFS=: read -r name old new <<< "$pair"
        id=$(forms_id "$pair")
        rm -rf "$www/forms-$id-"*
        mkdir -p "$www/forms-$id-old"
        cp -a "$(forms_package "$name" "$old")/." "$www/forms-$id-old/"
        make_app "$www/forms-$id-old"
        "$publish" --version 1.0 --main app --server "$SERVE_URL/forms-$id-old" --no-forms \
            --output "$www/forms-$id-old/UpdateCfg.xml" "$www/forms-$id-old" >/dev/null
        for way in $forms_ways; do
            mkdir -p "$www/forms-$id-$way"
            cp -a "$(forms_package "$name" "$new")/." "$www/forms-$id-$way/"
            make_app "$www/forms-$id-$way"
            : > "$work/forms-$id-$way-pub.txt"
            for f in s wire mib anon; do : > "$work/forms-$id-$way-$f.txt"; done
        done
    done
}

forms_publish() { # ID WAY -> seconds
    local args=()
    case "$2" in
    patch) args=(--previous "$www/forms-$1-old/UpdateCfg.xml") ;;
    plain) args=(--no-forms) ;;
    esac
    timed "$publish" --version 2.0 --main app --server "$SERVE_URL/forms-$1-$2" "${args[@]}" \
        --output "$work/forms-$1-$2.xml" "$www/forms-$1-$2"
}

# forms_proxy_bytes: asks the proxy for the bytes it carried since it was last asked; prints
# their sum over both directions.
forms_proxy_bytes() {
    local out="$work/proxy-forms.out" before i
    before=$(grep -c '^bytes ' "$out" || true)
    kill -USR1 "${link_pids[0]}"
    for i in $(seq 1 200); do
        [ "$(grep -c '^bytes ' "$out" || true)" -gt "$before" ] && break
        sleep 0.05
    done
    awk '/^bytes / { s = $2 + $3 } END { print s }' "$out"
}

# forms_install ID WAY: one update from the earlier release to the later one through the proxy;
# appends seconds, peak MiB and bytes on the wire to the way's files, and the forms the log names
# to $work/forms-ID-WAY-log.txt.
forms_install() {
    local id="$1" way="$2" dir="$work/install-forms" new="$www/forms-$1-$2" f bad timer
    rm -rf "$dir"; mkdir -p "$dir"
    cp -a "$www/forms-$id-old/." "$dir/"
    rm -f "$dir/UpdateCfg.xml"
    mkdir -p "$dir/config" "$dir/update"
    cp "$www/forms-$id-old/UpdateCfg.xml" "$dir/config/UpdateCfg.xml"
    sed "s|server=\"$SERVE_URL/|server=\"http://127.0.0.1:$PROXY_PORT/|" "$work/forms-$id-$way.xml" \
        > "$dir/update/UpdateCfg.xml"
    cp "$updater" "$dir/updater"
    sync
    forms_proxy_bytes >/dev/null
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%e %M" -o "$work/time.txt" "$dir/updater" \
        >"$work/updater.out" 2>&1 &
    timer=$!
    forms_peak_anon "$timer" >> "$work/forms-$id-$way-anon.txt"
    wait "$timer" || true
    forms_proxy_bytes >> "$work/forms-$id-$way-wire.txt"
    if ! grep -q 'Controller::slot_updateFinished true "success"' "$dir/log/update.log"; then
        echo "updater run on forms-$id-$way failed:" >&2; tail -n 5 "$dir/log/update.log" >&2; exit 1
    fi
    if grep -q 'download: fallback' "$dir/log/update.log"; then
        echo "forms-$id-$way: a form fell back:" >&2; grep 'download: fallback' "$dir/log/update.log" >&2; exit 1
    fi
    # The installation now holds the later release, byte for byte.
    bad=0
    while IFS= read -r f; do
        cmp -s "$new$f" "$dir$f" || { echo "forms-$id-$way: $f differs after the update" >&2; bad=1; }
    done < <(grep -o '<file path="/[^"]*"' "$work/forms-$id-$way.xml" | sed 's|^<file path="||; s|"$||')
    [ "$bad" -eq 0 ] || exit 1
    awk '{ print $1 }' "$work/time.txt" >> "$work/forms-$id-$way-s.txt"
    awk '{ printf "%.1f\n", $2 / 1024 }' "$work/time.txt" >> "$work/forms-$id-$way-mib.txt"
    printf '%s patches, %s compressed, %s whole\n' \
        "$(grep -c 'download: patch ' "$dir/log/update.log" || true)" \
        "$(grep -c 'download: compressed ' "$dir/log/update.log" || true)" \
        "$(grep 'download: "' "$dir/log/update.log" | grep -vc '/\.forms/' || true)" \
        > "$work/forms-$id-$way-log.txt"
    rm -rf "$dir"
}

# forms_peak_anon PID: the largest RssAnon of PID's child (the updater under /usr/bin/time) while
# it runs, sampled every 10 ms; prints MiB.
forms_peak_anon() {
    local parent="$1" pid="" peak=0 k v rest
    while [ -z "$pid" ] && [ -e "/proc/$parent" ]; do pid=$(pgrep -P "$parent" || true); done
    while [ -n "$pid" ] && [ -e "/proc/$pid" ]; do
        while read -r k v rest; do
            if [ "$k" = RssAnon: ] && [ "$v" -gt "$peak" ]; then peak=$v; fi
        done < "/proc/$pid/status" 2>/dev/null || true
        sleep 0.01
    done
    awk -v k="$peak" 'BEGIN { printf "%.1f\n", k / 1024 }'
}

forms_run() {
    local rtt=${FORMS_PROFILE%:*} mbit=${FORMS_PROFILE#*:} i pair id way
    forms_prepare
    echo "release pairs on $rtt ms, $mbit Mbit/s ($RUNS_FORMS repetitions)"; load
    link_proxy "$rtt" "$mbit" "$SERVE_PORT"
    mv "$work/proxy-$rtt-$mbit-$SERVE_PORT.out" "$work/proxy-forms.out"
    for i in $(seq "$RUNS_FORMS"); do
        for pair in $FORMS_PAIRS; do
            id=$(forms_id "$pair")
            for way in $forms_ways; do
                forms_publish "$id" "$way" >> "$work/forms-$id-$way-pub.txt"
                forms_install "$id" "$way"
                echo "  repetition $i: $id $way: publish $(tail -n 1 "$work/forms-$id-$way-pub.txt") s," \
                    "update $(tail -n 1 "$work/forms-$id-$way-s.txt") s," \
                    "$(tail -n 1 "$work/forms-$id-$way-wire.txt") bytes on the wire ($(cat "$work/forms-$id-$way-log.txt"))"
            done
        done
    done
    link_stop
}

forms_table() {
    local pair name old new id way files size label target
    for pair in $FORMS_PAIRS; do
        IFS=: read -r name old new <<< "$pair"
        id=$(forms_id "$pair")
        files=$(grep -c '<file ' "$work/forms-$id-plain.xml" || true)
        size=$(du -sb --exclude=.forms "$www/forms-$id-plain" | cut -f1)
        for way in patch zst; do
            ratios "$work/forms-$id-$way-wire.txt" "$work/forms-$id-plain-wire.txt" "$work/forms-$id-$way-r.txt"
            awk '{ printf "%.4f\n", $1 * 100 }' "$work/forms-$id-$way-r.txt" > "$work/forms-$id-$way-pct.txt"
            case "$id:$way" in
            typescript-5.3.3-5.4.5:patch) target="<= 1 %" ;;
            typescript-*:zst) target="<= 15 %" ;;
            esbuild-*:patch) target="<= 5 %" ;;
            *) target="reported" ;;
            esac
            case "$way" in
            patch) label="patches from $old and compressed copies" ;;
            zst) label="compressed copies, no earlier release given" ;;
            esac
            row "$name $old to $new ($files files, $size bytes), $label: bytes on the wire (peer \`--no-forms\`, ratio in %)" \
                "$(stats "$work/forms-$id-$way-wire.txt") ($(cat "$work/forms-$id-$way-log.txt"))" \
                "$(stats "$work/forms-$id-plain-wire.txt") ($(cat "$work/forms-$id-plain-log.txt"))" \
                "$(stats "$work/forms-$id-$way-pct.txt")" "$target"
            ratios "$work/forms-$id-$way-s.txt" "$work/forms-$id-plain-s.txt" "$work/forms-$id-$way-rs.txt"
            row "$name $old to $new, $label: the whole update on $FORMS_PROFILE (s; peer \`--no-forms\`, ratio)" \
                "$(stats "$work/forms-$id-$way-s.txt")" "$(stats "$work/forms-$id-plain-s.txt")" \
                "$(stats "$work/forms-$id-$way-rs.txt")" \
                "$([ "$id:$way" = typescript-5.3.3-5.4.5:patch ] && echo "< 3 s" || echo reported)"
            row "$name $old to $new, $label: publishing (s; peer \`--no-forms\`)" \
                "$(stats "$work/forms-$id-$way-pub.txt")" "$(stats "$work/forms-$id-plain-pub.txt")" "" "reported"
            row "$name $old to $new, $label: peak RSS of the updater, mapped files included (MiB; peer \`--no-forms\`)" \
                "$(stats "$work/forms-$id-$way-mib.txt")" "$(stats "$work/forms-$id-plain-mib.txt")" "" "reported"
            row "$name $old to $new, $label: peak anonymous memory of the updater, sampled (MiB; peer \`--no-forms\`)" \
                "$(stats "$work/forms-$id-$way-anon.txt")" "$(stats "$work/forms-$id-plain-anon.txt")" "" "< 64"
        done
    done
}
