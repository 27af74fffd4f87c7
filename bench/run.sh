#!/usr/bin/env bash
# Benchmarks of the updater against peers on the same machine, in one run, on loopback against
# the same local nginx (sendfile on, gzip off, access log off, keep-alive limit far above the
# number of files). Prints a table; times and memory are medians of RUNS runs (default 3).
#
#   bench/run.sh            all figures
#   RUNS=5 bench/run.sh     more repetitions
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=../scripts/lib/serve.sh
. scripts/lib/serve.sh

RUNS=${RUNS:-3}

bash scripts/deps.sh
if ! command -v /usr/bin/time >/dev/null || ! dpkg-query -W time >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -q time >/dev/null; else
        echo "needs GNU time: apt-get install time" >&2; exit 1; fi
fi

build="$root/build-release"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target updater updater-publish qtfetch installbench >/dev/null
updater="$build/src/app/updater"
publish="$(find "$build/tools" -type f -name updater-publish -perm -u+x | head -n 1)"
qtfetch="$build/bench/qtfetch"
installbench="$build/bench/installbench"

data="$build/bench-data"
www="$data/www"
work="$data/work"
rm -rf "$work"
mkdir -p "$www" "$work"

# --- data, made once and kept between runs --------------------------------------------------
make_app() { printf '#!/bin/sh\nexit 0\n' > "$1/app"; chmod +x "$1/app"; }
if [ ! -f "$www/.complete" ]; then
    echo "making test data in $www ..."
    rm -rf "$www"; mkdir -p "$www"/{big,m64,m256,small}
    head -c $((1024 * 1024 * 1024)) /dev/urandom > "$www/big/big.bin"
    head -c $((64 * 1024 * 1024)) /dev/urandom > "$www/m64/file.bin"
    head -c $((256 * 1024 * 1024)) /dev/urandom > "$www/m256/file.bin"
    for i in $(seq 0 1999); do
        d="$www/small/d$((i / 100))"; mkdir -p "$d"
        head -c 8192 /dev/urandom > "$d/f$i.bin"
    done
    for r in big m64 m256 small; do make_app "$www/$r"; done
    touch "$www/.complete"
fi

serve_start "$www" "$work/server"
trap serve_stop EXIT

for r in big m64 m256 small; do
    "$publish" --version 2.0 --main app --server "$SERVE_URL/$r" --output "$work/$r.xml" "$www/$r" 2>/dev/null
done
# The same release with md5 texts that are not digests: the updater then checks no checksum, which
# shows what the transfer alone costs next to curl.
sed -E 's/md5="([0-9a-f]{32})"/md5="marker-\1"/' "$work/big.xml" > "$work/big-nocheck.xml"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs the updater on release $1 in a fresh installation; prints "seconds peak_kib".
run_updater() {
    local rel="$1" dir="$work/install-$1"
    rm -rf "$dir"; mkdir -p "$dir/config" "$dir/update"
    cp "$updater" "$dir/updater"
    printf '<update><info version="1.0" main="app" server=""/></update>\n' > "$dir/config/UpdateCfg.xml"
    cp "$work/$rel.xml" "$dir/update/UpdateCfg.xml"
    sync
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%e %M" -o "$work/time.txt" "$dir/updater" >"$work/updater.out" 2>&1
    if ! grep -q 'Controller::slot_updateFinished true "success"' "$dir/log/update.log"; then
        echo "updater run on $rel failed:" >&2; tail -n 5 "$dir/log/update.log" >&2; exit 1
    fi
    cat "$work/time.txt"
    rm -rf "$dir"
}

timed() { # command... -> seconds
    /usr/bin/time -f '%e' -o "$work/t.txt" "$@" >/dev/null; cat "$work/t.txt"
}

# --- throughput: one 1 GiB file ---------------------------------------------------------------
echo "throughput: 1 GiB, updater (with and without the md5 check) vs curl -o ($RUNS runs each)"
: > "$work/up.txt"; : > "$work/upnc.txt"; : > "$work/curl.txt"; : > "$work/mem-big.txt"
for _ in $(seq "$RUNS"); do
    run_updater big > "$work/r.txt"; read -r s m < "$work/r.txt"
    echo "$s" >> "$work/up.txt"; echo "$m" >> "$work/mem-big.txt"
    run_updater big-nocheck > "$work/r.txt"; read -r s _m < "$work/r.txt"; echo "$s" >> "$work/upnc.txt"
    rm -f "$work/big.bin"; sync
    timed curl -s -o "$work/big.bin" "$SERVE_URL/big/big.bin" >> "$work/curl.txt"
    rm -f "$work/big.bin"; sync
done
up_big=$(median < "$work/up.txt"); upnc_big=$(median < "$work/upnc.txt"); curl_big=$(median < "$work/curl.txt")

# --- many small files ---------------------------------------------------------------------------
echo "many small files: 2000 x 8 KiB, updater vs bare Qt loop vs one curl ($RUNS runs each)"
(cd "$www/small" && find . -name '*.bin' | sed 's|^\.||' | sort) > "$work/small.list"
awk -v u="$SERVE_URL/small" -v o="$work/curl-small" '{ print "url = \"" u $0 "\""; print "output = \"" o $0 "\"" }' \
    "$work/small.list" > "$work/curl-small.cfg"
: > "$work/up.txt"; : > "$work/qt.txt"; : > "$work/curl.txt"
for _ in $(seq "$RUNS"); do
    run_updater small > "$work/r.txt"; read -r s _m < "$work/r.txt"; echo "$s" >> "$work/up.txt"
    rm -rf "$work/qt-small"
    timed "$qtfetch" "$SERVE_URL/small" "$work/small.list" "$work/qt-small" >> "$work/qt.txt"
    rm -rf "$work/curl-small"
    timed curl -s --create-dirs -K "$work/curl-small.cfg" >> "$work/curl.txt"
done
up_small=$(median < "$work/up.txt"); qt_small=$(median < "$work/qt.txt"); curl_small=$(median < "$work/curl.txt")

# --- memory ---------------------------------------------------------------------------------------
echo "memory: peak resident size for 64 MiB, 256 MiB, 1 GiB ($RUNS runs each)"
: > "$work/mem-m64.txt"; : > "$work/mem-m256.txt"
for _ in $(seq "$RUNS"); do
    run_updater m64 > "$work/r.txt"; awk '{ print $2 }' "$work/r.txt" >> "$work/mem-m64.txt"
    run_updater m256 > "$work/r.txt"; awk '{ print $2 }' "$work/r.txt" >> "$work/mem-m256.txt"
done
mem64=$(median < "$work/mem-m64.txt"); mem256=$(median < "$work/mem-m256.txt"); memBig=$(median < "$work/mem-big.txt")
memMax=$(cat "$work/mem-m64.txt" "$work/mem-m256.txt" "$work/mem-big.txt" | sort -n | tail -n 1)

# --- installation ---------------------------------------------------------------------------------
echo "installation: 1 GiB in 2000 files, updater's installation vs cp + rm ($RUNS runs each)"
: > "$work/inst.txt"; : > "$work/cp.txt"
for _ in $(seq "$RUNS"); do
    "$installbench" prepare "$work/inst" 2000 $((1024 * 1024 * 1024))
    sync
    "$installbench" run "$work/inst" >> "$work/inst.txt"
    rm -rf "$work/inst"
    "$installbench" prepare "$work/inst" 2000 $((1024 * 1024 * 1024))
    sync
    timed sh -c "cp -r '$work/inst/update/.' '$work/inst/' && rm -rf '$work/inst/update'" >> "$work/cp.txt"
    rm -rf "$work/inst"
done
inst=$(median < "$work/inst.txt"); cp_rm=$(median < "$work/cp.txt")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }

echo
printf '%-44s %-12s %-12s %-10s %s\n' "figure" "updater" "peer" "ratio" "target"
printf '%-44s %-12s %-12s %-10s %s\n' "throughput 1 GiB (s; peer curl -o)" "$up_big" "$curl_big" \
    "$(ratio "$curl_big" "$up_big")" "curl/updater >= 0.8"
printf '%-44s %-12s %-12s %-10s %s\n' "throughput 1 GiB, no md5 check (s; curl -o)" "$upnc_big" "$curl_big" \
    "$(ratio "$curl_big" "$upnc_big")" "reported"
printf '%-44s %-12s %-12s %-10s %s\n' "2000 x 8 KiB (s; peer bare Qt loop)" "$up_small" "$qt_small" \
    "$(ratio "$up_small" "$qt_small")" "updater/Qt <= 1.25"
printf '%-44s %-12s %-12s %-10s %s\n' "2000 x 8 KiB (s; peer one curl, keep-alive)" "$up_small" "$curl_small" \
    "$(ratio "$up_small" "$curl_small")" "reported"
printf '%-44s %-12s %-12s %-10s %s\n' "peak memory 64 MiB / 256 MiB / 1 GiB" "$(mib "$mem64")" "$(mib "$mem256")" \
    "$(mib "$memBig")" "< 64 MiB, flat"
printf '%-44s %-12s %-12s %-10s %s\n' "peak memory, largest of all runs above" "$(mib "$memMax")" "" "" "(see RESULTS.md)"
printf '%-44s %-12s %-12s %-10s %s\n' "installation 1 GiB in 2000 files (s; cp+rm)" "$inst" "$cp_rm" \
    "$(ratio "$inst" "$cp_rm")" "updater/cp+rm <= 1.5"
