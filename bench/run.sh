#!/usr/bin/env bash
# Benchmarks of the updater against peers on the same machine, in one run, on loopback against
# one local nginx (sendfile on, gzip off, access log off, keep-alive limit far above the number of
# files). Within each repetition the updater and its peers take turns, so that a change in the
# machine's load falls on all of them; every ratio is taken within one repetition, and the table
# shows the median with the smallest and largest value in brackets. The load average is printed
# before every section.
#
#   bench/run.sh                 everything, RUNS=5 repetitions, 30 memory runs
#   RUNS=3 MEMRUNS=10 bench/run.sh
#   SECTIONS="small link" bench/run.sh      only these sections (md5 big small memory manifest
#                                           install link forms); the table has their rows only
#   SECTIONS=link RUNS_LINK=1 LINK_PROFILES=50:50 LINK_WORKLOADS=medium bench/run.sh
#                                           one cell of the link section (bench/link.sh says more)
#   SECTIONS=forms RUNS_FORMS=1 FORMS_PAIRS=typescript:5.4.4:5.4.5 bench/run.sh
#                                           one release pair (bench/forms.sh says more)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=../scripts/lib/serve.sh
. scripts/lib/serve.sh

RUNS=${RUNS:-5}
MEMRUNS=${MEMRUNS:-30}
MANIFEST=${MANIFEST:-750000}
SECTIONS=${SECTIONS:-"md5 big small memory manifest install link forms"}
# The sections' blocks below are not indented, to keep them as they were before they could be
# chosen.
want() { [[ " $SECTIONS " == *" $1 "* ]]; }

extra=()
if want link; then extra+=(aria2 openssl); fi
if want forms && ! command -v npm >/dev/null; then extra+=(npm); fi
bash scripts/deps.sh "${extra[@]}"
if ! dpkg-query -W time >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -q time >/dev/null; else
        echo "needs GNU time: apt-get install time" >&2; exit 1; fi
fi

build="$root/build-release"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --parallel "$(nproc)" \
    --target updater updater-publish qtfetch installbench md5speed manifestbench downloadbench \
    linkproxy >/dev/null
updater="$build/src/app/updater"
publish="$(find "$build/tools" -type f -name updater-publish -perm -u+x | head -n 1)"
qtfetch="$build/bench/qtfetch"
installbench="$build/bench/installbench"
md5speed="$build/bench/md5speed"
manifestbench="$build/bench/manifestbench"
downloadbench="$build/bench/downloadbench"

data="$build/bench-data"
www="$data/www"
work="$data/work"
rm -rf "$work"
mkdir -p "$www" "$work"
load() { echo "  load: $(cut -d' ' -f1-3 /proc/loadavg)"; }

# --- data, made once and kept between runs --------------------------------------------------
make_app() { printf '#!/bin/sh\nexit 0\n' > "$1/app"; chmod +x "$1/app"; }
# small_files DIR COUNT: COUNT files of 8 KiB in folders of 100.
small_files() {
    local dir="$1" count="$2" f i=0
    mkdir -p "$dir/tmp"
    head -c $((count * 8192)) /dev/urandom | split -b 8192 -a 6 -d - "$dir/tmp/f"
    for f in "$dir"/tmp/f*; do
        mkdir -p "$dir/d$((i / 100))"; mv "$f" "$dir/d$((i / 100))/f$i.bin"; i=$((i + 1))
    done
    rmdir "$dir/tmp"
}
if [ ! -f "$www/.complete-2" ]; then
    echo "making test data in $www ..."
    rm -rf "$www"; mkdir -p "$www"/{big,small,small10k}
    head -c $((1024 * 1024 * 1024)) /dev/urandom > "$www/big/big.bin"
    small_files "$www/small" 2000
    small_files "$www/small10k" 10000
    for r in big small small10k; do make_app "$www/$r"; done
    touch "$www/.complete-2"
fi

# shellcheck source=link.sh
. bench/link.sh
# shellcheck source=forms.sh
. bench/forms.sh
if want link; then link_make_cert; link_data_files; fi
serve_start "$www" "$work/server"
busy=()
cleanup() {
    local pid
    for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
    link_stop
    serve_stop
}
trap cleanup EXIT

# Publishing hashes every file: only the releases of the chosen sections. No compressed copies:
# the data is random, so none would be smaller, and trying costs minutes for the 1 GiB file.
releases=small
if want big || want memory; then releases="$releases big"; fi
if want small; then releases="$releases small10k"; fi
for r in $releases; do
    "$publish" --version 2.0 --main app --server "$SERVE_URL/$r" --no-forms --output "$work/$r.xml" \
        "$www/$r" 2>/dev/null
done
# The publisher gives every file an md5 and a sha256; the updater then judges the file by its
# sha256 alone. Two variants of the 1 GiB release: one with md5 digests only (a release written
# before sha256 was given), and one whose md5 texts are not digests and without sha256, where the
# updater checks nothing, which shows what the transfer alone costs.
if want big; then
sed -E 's/ sha256="[0-9a-f]{64}"//' "$work/big.xml" > "$work/big-md5.xml"
sed -E 's/md5="([0-9a-f]{32})"/md5="marker-\1"/' "$work/big-md5.xml" > "$work/big-nocheck.xml"
if grep -q sha256 "$work/big-md5.xml" || ! grep -q 'sha256="' "$work/big.xml"; then
    echo "the 1 GiB release variants are not what they should be" >&2; exit 1
fi
fi
if want link; then link_publish; fi

# stats FILE -> "median (min-max)" of the numbers in FILE
stats() {
    sort -g "$1" | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "n/a"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3g (%.3g-%.3g)", m, v[1], v[NR] }'
}
# ratios A B OUT: OUT gets A[i] / B[i], line by line (one line per repetition)
ratios() { paste "$1" "$2" | awk '{ printf "%.4f\n", ($2 > 0) ? $1 / $2 : 0 }' > "$3"; }

# Runs the updater on release $1 in a fresh installation; prints "seconds peak_kib". Further
# arguments are a command that starts the updater (the command is given its path as the last
# argument).
run_updater() {
    local rel="$1" dir="$work/install-$1"
    shift
    rm -rf "$dir"; mkdir -p "$dir/config" "$dir/update"
    cp "$updater" "$dir/updater"
    printf '<update><info version="1.0" main="app" server=""/></update>\n' > "$dir/config/UpdateCfg.xml"
    cp "$work/$rel.xml" "$dir/update/UpdateCfg.xml"
    sync
    QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" "$dir/updater" >"$work/updater.out" 2>&1
    if ! grep -q 'Controller::slot_updateFinished true "success"' "$dir/log/update.log"; then
        echo "updater run on $rel failed:" >&2; tail -n 5 "$dir/log/update.log" >&2; exit 1
    fi
    cat "$work/time.txt"
    rm -rf "$dir"
}

# Runs the download loop alone (bench/downloadbench) on release $1 in a fresh installation; prints
# seconds.
run_download_only() {
    local rel="$1" dir="$work/dl-$1"
    rm -rf "$dir"; mkdir -p "$dir/config" "$dir/update"
    printf '<update><info version="1.0" main="app" server=""/></update>\n' > "$dir/config/UpdateCfg.xml"
    cp "$work/$rel.xml" "$dir/update/UpdateCfg.xml"
    sync
    "$downloadbench" "$dir"
    rm -rf "$dir"
}

timed() { # command... -> seconds
    /usr/bin/time -f '%e' -o "$work/t.txt" "$@" >/dev/null; cat "$work/t.txt"
}

# --- MD5: Qt's and OpenSSL's implementation -------------------------------------------------
if want md5; then
echo "md5: Qt vs OpenSSL, 1 GiB in 64 KiB pieces ($RUNS rounds)"; load
"$md5speed" 1024 "$RUNS" 64 > "$work/md5.txt"
awk '{ print $2 }' "$work/md5.txt" > "$work/md5-qt.txt"
awk '{ print $4 }' "$work/md5.txt" > "$work/md5-ssl.txt"
ratios "$work/md5-qt.txt" "$work/md5-ssl.txt" "$work/md5-ratio.txt"
fi

# --- throughput: one 1 GiB file ---------------------------------------------------------------
if want big; then
echo "throughput: 1 GiB, updater (sha256, md5, nothing checked) vs curl -o, curl | tee | md5sum / sha256sum, openssl dgst ($RUNS runs each)"; load
for f in up upmd5 upnc curl curlsync dl dlmd5 tee tee256 floor floor256; do : > "$work/big-$f.txt"; done
cached="$www/big/big.bin"
for _ in $(seq "$RUNS"); do
    run_updater big | awk '{ print $1 }' >> "$work/big-up.txt"
    rm -f "$work/big.bin"; sync
    timed curl -s -o "$work/big.bin" "$SERVE_URL/big/big.bin" >> "$work/big-curl.txt"
    rm -f "$work/big.bin"; sync
    run_updater big-md5 | awk '{ print $1 }' >> "$work/big-upmd5.txt"
    timed bash -o pipefail -c "curl -s '$SERVE_URL/big/big.bin' | tee '$work/big.bin' | md5sum" >> "$work/big-tee.txt"
    rm -f "$work/big.bin"; sync
    timed bash -o pipefail -c "curl -s '$SERVE_URL/big/big.bin' | tee '$work/big.bin' | sha256sum" >> "$work/big-tee256.txt"
    rm -f "$work/big.bin"; sync
    timed openssl dgst -md5 "$cached" >> "$work/big-floor.txt"
    timed openssl dgst -sha256 "$cached" >> "$work/big-floor256.txt"
    run_updater big-nocheck | awk '{ print $1 }' >> "$work/big-upnc.txt"
    # The updater flushes the file system before the step that commits an installation, so its
    # time includes writing the 1 GiB to the disk: the peer that does the same.
    timed sh -c "curl -s -o '$work/big.bin' '$SERVE_URL/big/big.bin' && sync -f '$work/big.bin'" >> "$work/big-curlsync.txt"
    rm -f "$work/big.bin"; sync
    # The download loop alone, without the installation and its flush.
    run_download_only big >> "$work/big-dl.txt"
    run_download_only big-md5 >> "$work/big-dlmd5.txt"
done
ratios "$work/big-curlsync.txt" "$work/big-up.txt" "$work/big-r-curlsync.txt"
ratios "$work/big-curlsync.txt" "$work/big-upmd5.txt" "$work/big-r-curlsyncmd5.txt"
ratios "$work/big-curl.txt" "$work/big-dl.txt" "$work/big-r-dl.txt"
ratios "$work/big-curl.txt" "$work/big-dlmd5.txt" "$work/big-r-dlmd5.txt"
ratios "$work/big-curl.txt" "$work/big-up.txt" "$work/big-r-curl.txt"
ratios "$work/big-up.txt" "$work/big-tee256.txt" "$work/big-r-tee256.txt"
ratios "$work/big-floor256.txt" "$work/big-up.txt" "$work/big-r-floor256.txt"
ratios "$work/big-curl.txt" "$work/big-upmd5.txt" "$work/big-r-curlmd5.txt"
ratios "$work/big-upmd5.txt" "$work/big-tee.txt" "$work/big-r-tee.txt"
ratios "$work/big-floor.txt" "$work/big-upmd5.txt" "$work/big-r-floor.txt"
ratios "$work/big-curl.txt" "$work/big-upnc.txt" "$work/big-r-nc.txt"
fi

# --- many small files ---------------------------------------------------------------------------
if want small; then for r in small small10k; do
    count=$(grep -c '<file ' "$work/$r.xml" || true)
    echo "many small files: $r ($count x 8 KiB), updater vs bare Qt loop vs one curl ($RUNS runs each)"; load
    (cd "$www/$r" && find . -name '*.bin' | sed 's|^\.||' | sort) > "$work/$r.list"
    awk -v u="$SERVE_URL/$r" -v o="$work/curl-$r" '{ print "url = \"" u $0 "\""; print "output = \"" o $0 "\"" }' \
        "$work/$r.list" > "$work/curl-$r.cfg"
    : > "$work/$r-up.txt"; : > "$work/$r-qt.txt"; : > "$work/$r-curl.txt"; : > "$work/$r-dl.txt"
    : > "$work/$r-mib.txt"
    for _ in $(seq "$RUNS"); do
        run_updater "$r" > "$work/one.txt"
        awk '{ print $1 }' "$work/one.txt" >> "$work/$r-up.txt"
        awk '{ printf "%.1f\n", $2 / 1024 }' "$work/one.txt" >> "$work/$r-mib.txt"
        run_download_only "$r" >> "$work/$r-dl.txt"
        rm -rf "$work/qt-$r"
        timed "$qtfetch" "$SERVE_URL/$r" "$work/$r.list" "$work/qt-$r" >> "$work/$r-qt.txt"
        rm -rf "$work/qt-$r" "$work/curl-$r"
        timed curl -s --create-dirs -K "$work/curl-$r.cfg" >> "$work/$r-curl.txt"
        rm -rf "$work/curl-$r"
    done
    ratios "$work/$r-up.txt" "$work/$r-qt.txt" "$work/$r-r-qt.txt"
    ratios "$work/$r-up.txt" "$work/$r-curl.txt" "$work/$r-r-curl.txt"
    ratios "$work/$r-dl.txt" "$work/$r-qt.txt" "$work/$r-r-dl.txt"
done; fi

# --- memory ---------------------------------------------------------------------------------------
if want memory; then
# Every other run with two extra busy processes on the machine, so that the updater's threads
# are descheduled at awkward moments.
echo "memory: peak resident size of the updater for 1 GiB ($MEMRUNS runs, every other one under extra load)"; load
: > "$work/mem.txt"; : > "$work/mem-loaded.txt"
for i in $(seq "$MEMRUNS"); do
    if [ $((i % 2)) -eq 0 ]; then
        busy=()
        for _ in 1 2; do sh -c 'while :; do :; done' & busy+=("$!"); done
        run_updater big | awk '{ print $2 }' | tee -a "$work/mem-loaded.txt" >> "$work/mem.txt"
        for pid in "${busy[@]}"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
        busy=()
    else
        run_updater big | awk '{ print $2 }' >> "$work/mem.txt"
    fi
done
awk '{ printf "%.1f\n", $1 / 1024 }' "$work/mem.txt" > "$work/mem-mib.txt"
awk '{ printf "%.1f\n", $1 / 1024 }' "$work/mem-loaded.txt" > "$work/mem-loaded-mib.txt"
mem_over=$(awk '$1 >= 64 { n++ } END { print n + 0 }' "$work/mem-mib.txt")
fi

# --- a large manifest -----------------------------------------------------------------------------
if want manifest; then
# Two cases: a first release of MANIFEST files over an installation that lists none, and a release
# whose every md5 text differs from the installed one's (both list MANIFEST files, as written by
# the publisher with sizes). The server is a closed port: the run ends at the first request.
echo "manifest: $MANIFEST entries, check phase of the worker ($RUNS runs per case)"; load
manifest() { # VERSION MD5_MARK COUNT
    awk -v n="$3" -v ver="$1" -v mark="$2" 'BEGIN {
        print "<update><info version=\"" ver "\" main=\"app\" server=\"http://127.0.0.1:1\"/>"
        for (i = 0; i < n; i++)
            printf "<file path=\"/data/d%04d/file-%07d.dat\" md5=\"%08x%08x%08x%08x\" size=\"%d\"/>\n", i % 1000, i, i, mark, i * 7, i * 13, i
        print "</update>" }'
}
for c in fresh changed; do
    mdir="$work/manifest-$c"
    rm -rf "$mdir"; mkdir -p "$mdir/config" "$mdir/update"
    manifest 1.0 1 "$([ "$c" = fresh ] && echo 0 || echo "$MANIFEST")" > "$mdir/config/UpdateCfg.xml"
    manifest 2.0 2 "$MANIFEST" > "$mdir/update/UpdateCfg.xml"
    : > "$work/man-$c-s.txt"; : > "$work/man-$c-m.txt"
done
for _ in $(seq "$RUNS"); do
    for c in fresh changed; do
        mdir="$work/manifest-$c"
        /usr/bin/time -f "%M" -o "$work/t.txt" "$manifestbench" "$mdir" >> "$work/man-$c-s.txt"
        awk '{ printf "%.1f\n", $1 / 1024 }' "$work/t.txt" >> "$work/man-$c-m.txt"
        if ! grep -q "file count: $MANIFEST" "$mdir/log/update.log"; then
            echo "manifest run did not find all entries in the difference" >&2; exit 1
        fi
        rm -rf "$mdir/log" "$mdir/update/data"
    done
done
fi

# --- installation ---------------------------------------------------------------------------------
if want install; then
echo "installation: 1 GiB in 2000 files, updater's installation vs cp -a + rm -rf ($RUNS runs each)"; load
: > "$work/inst.txt"; : > "$work/cp.txt"
for _ in $(seq "$RUNS"); do
    "$installbench" prepare "$work/inst" 2000 $((1024 * 1024 * 1024))
    sync
    "$installbench" run "$work/inst" >> "$work/inst.txt"
    rm -rf "$work/inst"
    "$installbench" prepare "$work/inst" 2000 $((1024 * 1024 * 1024))
    sync
    timed sh -c "cp -a '$work/inst/update/.' '$work/inst/' && rm -rf '$work/inst/update'" >> "$work/cp.txt"
    rm -rf "$work/inst"
done
ratios "$work/inst.txt" "$work/cp.txt" "$work/inst-r.txt"
fi

# --- over a link with a round trip and a bandwidth cap (bench/link.sh) ----------------------------
if want link; then link_validate; link_run; fi

# --- real release pairs: patches and compressed copies (bench/forms.sh) ---------------------------
if want forms; then forms_run; fi
echo "done"; load

row() { printf '| %s | %s | %s | %s | %s |\n' "$@"; }
echo
echo "| figure | updater | peer | ratio, per repetition | target |"
echo "|---|---|---|---|---|"
if want md5; then
row "MD5 of 1 GiB (s; Qt's vs OpenSSL's, ratio Qt/OpenSSL)" "$(stats "$work/md5-ssl.txt")" \
    "$(stats "$work/md5-qt.txt")" "$(stats "$work/md5-ratio.txt")" "reported"
fi
if want big; then
row "1 GiB as published, sha256 checked (s; peer \`curl -o\`, ratio curl/updater)" "$(stats "$work/big-up.txt")" \
    "$(stats "$work/big-curl.txt")" "$(stats "$work/big-r-curl.txt")" "reported"
row "1 GiB, sha256 checked (s; peer \`curl | tee | sha256sum\`, ratio updater/peer)" "$(stats "$work/big-up.txt")" \
    "$(stats "$work/big-tee256.txt")" "$(stats "$work/big-r-tee256.txt")" "reported"
row "1 GiB, sha256 checked (s; peer \`openssl dgst -sha256\` of the cached file, ratio floor/updater)" \
    "$(stats "$work/big-up.txt")" "$(stats "$work/big-floor256.txt")" "$(stats "$work/big-r-floor256.txt")" "reported"
row "1 GiB, md5 checked, no sha256 (s; peer \`curl -o\`, ratio curl/updater)" "$(stats "$work/big-upmd5.txt")" \
    "$(stats "$work/big-curl.txt")" "$(stats "$work/big-r-curlmd5.txt")" ">= 0.78"
row "1 GiB, md5 checked (s; peer \`curl | tee | md5sum\`, ratio updater/peer)" "$(stats "$work/big-upmd5.txt")" \
    "$(stats "$work/big-tee.txt")" "$(stats "$work/big-r-tee.txt")" "reported"
row "1 GiB, md5 checked (s; peer \`openssl dgst -md5\` of the cached file, ratio floor/updater)" \
    "$(stats "$work/big-upmd5.txt")" "$(stats "$work/big-floor.txt")" "$(stats "$work/big-r-floor.txt")" "reported"
row "1 GiB, nothing checked (s; peer \`curl -o\`, ratio curl/updater)" "$(stats "$work/big-upnc.txt")" \
    "$(stats "$work/big-curl.txt")" "$(stats "$work/big-r-nc.txt")" "reported"
row "1 GiB as published, sha256 checked (s; peer \`curl -o\` then \`sync -f\`, ratio peer/updater)" "$(stats "$work/big-up.txt")" \
    "$(stats "$work/big-curlsync.txt")" "$(stats "$work/big-r-curlsync.txt")" "reported"
row "1 GiB, md5 checked (s; peer \`curl -o\` then \`sync -f\`, ratio peer/updater)" "$(stats "$work/big-upmd5.txt")" \
    "$(stats "$work/big-curlsync.txt")" "$(stats "$work/big-r-curlsyncmd5.txt")" "reported"
row "1 GiB as published, download loop alone \`bench/downloadbench\` (s; peer \`curl -o\`, ratio curl/loop)" "$(stats "$work/big-dl.txt")" \
    "$(stats "$work/big-curl.txt")" "$(stats "$work/big-r-dl.txt")" "reported"
row "1 GiB, md5 checked, download loop alone (s; peer \`curl -o\`, ratio curl/loop)" "$(stats "$work/big-dlmd5.txt")" \
    "$(stats "$work/big-curl.txt")" "$(stats "$work/big-r-dlmd5.txt")" "reported"
fi
if want small; then for r in small small10k; do
    n=$(wc -l < "$work/$r.list")
    row "$n x 8 KiB (s; peer bare Qt loop \`bench/qtfetch\`, ratio updater/Qt)" "$(stats "$work/$r-up.txt")" \
        "$(stats "$work/$r-qt.txt")" "$(stats "$work/$r-r-qt.txt")" "$([ "$r" = small ] && echo "<= 1.15" || echo reported)"
    row "$n x 8 KiB (s; peer one \`curl -K\` over keep-alive, ratio updater/curl)" "$(stats "$work/$r-up.txt")" \
        "$(stats "$work/$r-curl.txt")" "$(stats "$work/$r-r-curl.txt")" "reported"
    row "$n x 8 KiB, download loop alone \`bench/downloadbench\` (s; peer bare Qt loop, ratio loop/Qt)" \
        "$(stats "$work/$r-dl.txt")" "$(stats "$work/$r-qt.txt")" "$(stats "$work/$r-r-dl.txt")" "reported"
    row "$n x 8 KiB, peak RSS of the updater, every transfer busy (MiB)" "$(stats "$work/$r-mib.txt")" "" "" \
        "$([ "$r" = small ] && echo "< 64" || echo reported)"
done; fi
if want memory; then
row "peak RSS, 1 GiB, $MEMRUNS runs (MiB)" "$(stats "$work/mem-mib.txt"); $mem_over of $MEMRUNS at or above 64" \
    "" "" "< 64 in every run"
row "peak RSS, 1 GiB, the runs under extra load (MiB)" "$(stats "$work/mem-loaded-mib.txt")" "" "" "< 64 in every run"
fi
if want manifest; then
row "$MANIFEST-entry manifest over an installation listing none: check phase (s)" "$(stats "$work/man-fresh-s.txt")" "" "" "reported"
row "$MANIFEST-entry manifest over an installation listing none: peak RSS (MiB)" "$(stats "$work/man-fresh-m.txt")" "" "" "< 200"
row "$MANIFEST-entry manifest, every md5 changed from $MANIFEST installed: check phase (s)" "$(stats "$work/man-changed-s.txt")" "" "" "reported"
row "$MANIFEST-entry manifest, every md5 changed from $MANIFEST installed: peak RSS (MiB)" "$(stats "$work/man-changed-m.txt")" "" "" "< 200"
fi
if want install; then
row "installation, 1 GiB in 2,000 files (s; peer \`cp -a\` + \`rm -rf\`, ratio updater/peer)" \
    "$(stats "$work/inst.txt")" "$(stats "$work/cp.txt")" "$(stats "$work/inst-r.txt")" "<= 1.5"
fi
if want link; then link_table; fi
if want forms; then forms_table; fi
