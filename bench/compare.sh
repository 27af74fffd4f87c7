#!/usr/bin/env bash
# Two builds of the updater against each other, taking turns within each repetition, on one local
# nginx: 2,000 files of 8 KiB and one file of 1 GiB (both published with sha256). For a change
# that should not change speed (a reshaping of the code): build the commit before it and the
# commit after it, then
#
#   bench/compare.sh BEFORE/updater AFTER/updater [RUNS]
#
# Prints one line per repetition (seconds of each, after/before) and the median ratio with the
# smallest and largest. The load average is printed with every line: a machine busy with
# something else makes single runs vary, the ratios less so.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=../scripts/lib/serve.sh
. scripts/lib/serve.sh
if [ $# -lt 2 ]; then
    echo "usage: bench/compare.sh BEFORE_UPDATER AFTER_UPDATER [RUNS]" >&2
    exit 2
fi
before="$(realpath "$1")"
after="$(realpath "$2")"
runs=${3:-5}

build="$root/build-release"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target updater-publish >/dev/null
publish="$(find "$build/tools" -type f -name updater-publish -perm -u+x | head -n 1)"
data="$build/compare-data"
www="$data/www"
work="$data/work"
mkdir -p "$www" "$work"
if [ ! -f "$www/.complete" ]; then
    rm -rf "$www"; mkdir -p "$www/small/tmp" "$www/big"
    head -c $((2000 * 8192)) /dev/urandom | split -b 8192 -a 6 -d - "$www/small/tmp/f"
    i=0
    for f in "$www"/small/tmp/f*; do
        mkdir -p "$www/small/d$((i / 100))"; mv "$f" "$www/small/d$((i / 100))/f$i.bin"; i=$((i + 1))
    done
    rmdir "$www/small/tmp"
    head -c $((1024 * 1024 * 1024)) /dev/urandom > "$www/big/big.bin"
    for r in small big; do printf '#!/bin/sh\nexit 0\n' > "$www/$r/app"; chmod +x "$www/$r/app"; done
    touch "$www/.complete"
fi
serve_start "$www" "$work/server"
trap serve_stop EXIT
for r in small big; do
    "$publish" --no-forms --version 2.0 --main app --server "$SERVE_URL/$r" --output "$work/$r.xml" "$www/$r" 2>/dev/null
done

run() { # UPDATER RELEASE -> seconds
    local dir="$work/install"
    rm -rf "$dir"; mkdir -p "$dir/config" "$dir/update"
    cp "$1" "$dir/updater"
    printf '<update><info version="1.0" main="app" server=""/></update>\n' > "$dir/config/UpdateCfg.xml"
    cp "$work/$2.xml" "$dir/update/UpdateCfg.xml"
    sync
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%e" -o "$work/t.txt" "$dir/updater" >/dev/null 2>&1
    if ! grep -q 'Controller::slot_updateFinished true "success"' "$dir/log/update.log"; then
        echo "a run of $1 on $2 failed:" >&2; tail -n 5 "$dir/log/update.log" >&2; exit 1
    fi
    cat "$work/t.txt"
    rm -rf "$dir"
}

for r in small big; do
    : > "$work/ratios-$r.txt"
    for i in $(seq "$runs"); do
        b=$(run "$before" "$r")
        a=$(run "$after" "$r")
        ratio=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')
        echo "$ratio" >> "$work/ratios-$r.txt"
        echo "$r $i: before $b s, after $a s, after/before $ratio (load $(cut -d' ' -f1-3 /proc/loadavg))"
    done
    sort -g "$work/ratios-$r.txt" | awk -v r="$r" '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%s: after/before %.3g (%.3g-%.3g) over %d repetitions\n", r, m, v[1], v[NR], NR }'
done
