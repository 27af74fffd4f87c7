#!/usr/bin/env bash
# Runs the Windows build of scripts/windows.sh under Wine on a private Xvfb display:
#   1. every test program in build-windows/bin, one after the other;
#   2. a whole update: updater.exe with its runtime in a fresh installation (a path with a space)
#      updates it from a release served by nginx on 127.0.0.1, starts the new app.exe and
#      removes update/. The installation is then checked byte for byte.
#   3. the same update while holdopen.exe holds lib/core.dll open without delete sharing: let go
#      a few seconds after the updater says it waits (the update goes through), and held for
#      good (the update gives up after its bound and leaves the old release byte for byte).
# Prints a pass/fail table. The exit status is 0 when everything passed or failed only in a known
# Wine difference (listed below and in the README), 1 otherwise. Each program's Qt Test results
# are kept in build-windows/test-results/.
#
# Environment: UPDATER_WINDOWS_BUILD (default build-windows), UPDATER_WINEPREFIX (default
# ~/.cache/updater-wine, created on first use), UPDATER_WINDOWS_TEST_TIMEOUT (seconds per
# program, default 900), UPDATER_WINDOWS_UPDATE_TIMEOUT (seconds for the whole update, default
# 300), UPDATER_WINDOWS_TESTS (a space-separated subset of test programs),
# UPDATER_WINE_QPA (Qt platform plugin, default windows). The Xvfb display is started whatever
# the plugin: without a display Wine does not run a windowed program's event loop properly.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UPDATER_WINDOWS_BUILD:-$root/build-windows}"
bin="$build/bin"
per_test_timeout="${UPDATER_WINDOWS_TEST_TIMEOUT:-900}"
# A failed update waits on its message box for someone to close it: the run is stopped then.
update_timeout="${UPDATER_WINDOWS_UPDATE_TIMEOUT:-300}"
export WINEPREFIX="${UPDATER_WINEPREFIX:-$HOME/.cache/updater-wine}"
# Only the loader's errors: a DLL missing from the deployment is named in the program's output.
export WINEDEBUG=-all,err+module
# No prompts to install Wine's .NET and HTML engines: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Under Wine the tests use the Windows platform plugin on the Xvfb display: the whole Windows
# windowing path is exercised, as on a user's machine. UPDATER_WINE_QPA=offscreen chooses Qt's
# offscreen plugin instead. Wine does not hand QT_QPA_PLATFORM to a Windows program: the plugin
# is named on each program's command line.
qpa="${UPDATER_WINE_QPA:-windows}"
export QT_LOGGING_RULES="qt.qpa.*=false"
# Wine turns Windows file names into Unix ones through the locale's character set: under the C
# locale of a fresh machine a name outside ASCII cannot be made. C.UTF-8 is always there.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
    export LC_ALL=C.UTF-8
fi

# Failures that come from Wine, not from the program, each with its reason, for example
#   known["tst_example someFunction"]="what Wine does differently"
declare -A known=()

[ -x "$bin/updater.exe" ] || { echo "No $bin/updater.exe: run scripts/windows.sh first" >&2; exit 1; }
command -v wine >/dev/null || { echo "wine is missing: run scripts/windows.sh first" >&2; exit 1; }

work="$(mktemp -d)"
xvfb_pid=""
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null
    wineserver -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from 90 on.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    # Wine makes the prefix itself but not the folders above it (~/.cache for a new user).
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot --init >"$work/wineboot.log" 2>&1
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] ||
        { echo "Wine did not create $WINEPREFIX" >&2; tail -n 20 "$work/wineboot.log" >&2; exit 1; }
fi

# Each program's Qt Test results stay here for reading afterwards.
results="$build/test-results"
rm -rf "$results"
mkdir -p "$results"

rows=()
status=0
row() { rows+=("$(printf '%-20s %6s %6s %7s  %s' "$@")"); }

# --- test programs --------------------------------------------------------------------------
if [ -n "${UPDATER_WINDOWS_TESTS:-}" ]; then
    tests=()
    for t in $UPDATER_WINDOWS_TESTS; do tests+=("$bin/$t.exe"); done
else
    tests=("$bin"/tst_*.exe)
fi
for exe in "${tests[@]}"; do
    name="$(basename "$exe" .exe)"
    # Qt Test's console output does not reach a pipe under Wine: each program writes its
    # results to a file instead, which is read afterwards.
    result_file="$results/$name.txt"
    out="$work/$name.out"
    rm -f "$result_file"
    echo "-- $name"
    # Only a program with a GUI application takes -platform; Qt Test refuses it in one made with
    # QTEST_GUILESS_MAIN or QTEST_APPLESS_MAIN.
    platform=(-platform "$qpa")
    grep -qs 'QTEST_GUILESS_MAIN\|QTEST_APPLESS_MAIN' "$root"/tests/*/"$name.cpp" && platform=()
    (cd "$work" && timeout "$per_test_timeout" wine "$exe" "${platform[@]}" \
        -o "$(winepath -w "$result_file" 2>/dev/null),txt" >"$out" 2>&1)
    code=$?
    # A program that does not end is stopped with everything it started.
    [ "$code" = 124 ] && wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    log="$result_file"
    [ -f "$log" ] || log="$out"
    totals="$(grep -a '^Totals:' "$log" | tail -n1 | tr -d '\r')"
    passed="$(sed -n 's/^Totals: \([0-9]*\) passed.*/\1/p' <<<"$totals")"
    failed="$(sed -n 's/.* \([0-9]*\) failed.*/\1/p' <<<"$totals")"
    skipped="$(sed -n 's/.* \([0-9]*\) skipped.*/\1/p' <<<"$totals")"
    if [ "$code" = 124 ]; then
        result="FAIL (no end after ${per_test_timeout}s; last: $(grep -a '^[A-Z]' "$log" | tail -n1 | tr -d '\r' | cut -c1-60))"
        status=1
    elif [ -z "$totals" ]; then
        result="FAIL (exit $code, no totals)"
        status=1
        tail -n 20 "$log" | tr -d '\r'
    elif [ "$failed" = 0 ] && [ "$code" = 0 ]; then
        result=pass
    else
        # Every failure must be a known Wine difference, listed by function or by data row.
        unknown=()
        known_hit=()
        while read -r case_name; do
            [ -z "$case_name" ] && continue
            fn="${case_name%%(*}"
            if [ -n "${known[$name $case_name]:-}" ] || [ -n "${known[$name $fn]:-}" ]; then
                known_hit+=("$case_name")
            else
                unknown+=("$case_name")
            fi
        done < <(grep -a '^FAIL!  : ' "$log" | tr -d '\r' |
                 sed -n 's/^FAIL!  : [A-Za-z_0-9]*::\([A-Za-z_0-9]*\)(\([^)]*\)).*/\1(\2)/p' |
                 sed 's/()$//' |
                 sort -u)
        if [ ${#unknown[@]} -eq 0 ] && [ ${#known_hit[@]} -gt 0 ]; then
            result="known Wine difference: ${known_hit[*]}"
        else
            result="FAIL: ${unknown[*]:-exit $code}"
            status=1
            grep -a -A3 '^FAIL!' "$log" | tr -d '\r' | head -n 40
        fi
    fi
    row "$name" "${passed:--}" "${failed:--}" "${skipped:--}" "$result"
done

# --- a whole update -------------------------------------------------------------------------
# Release 1.0.0 is installed; 1.0.1 is served, published by updater-publish.exe with 1.0.0 as
# its earlier release. The main program and a library change (the library arrives as a patch
# against its installed copy), a data file is added, one file stays and the user's settings are
# ignored. $1: "plain"; "let go", with
# lib/core.dll held open until a few seconds after the updater logs that it waits; "held", with
# it held until the updater has ended.
whole_update() {
    local mode="$1" base="$work/update-${1// /-}"
    local served="$base/served" install="$base/install dir" nginx_dir="$base/nginx"
    mkdir -p "$served/lib" "$served/data" "$install/lib" "$install/data" "$install/user" \
        "$install/config" "$install/update" "$nginx_dir/tmp"
    cp "$bin/updater.exe" "$bin/qt.conf" "$bin"/*.dll "$install/"
    cp -r "$bin/platforms" "$install/"
    [ -d "$bin/styles" ] && cp -r "$bin/styles" "$install/"
    cp "$bin/fakemain.exe" "$install/app.exe"
    # Bytes after the image leave the program runnable and change its digest.
    { cat "$bin/fakemain.exe"; printf 'release 1.0.1\n'; } >"$served/app.exe"
    # Bytes that do not compress: only a patch makes the library's change small.
    head -c 300000 /dev/urandom >"$base/core-noise"
    { printf 'core library 1.0.0\n'; cat "$base/core-noise"; } >"$install/lib/core.dll"
    { printf 'core library 1.0.1\n'; cat "$base/core-noise"; } >"$served/lib/core.dll"
    printf 'readme, unchanged\n' | tee "$install/data/readme.txt" >"$served/data/readme.txt"
    printf '新文件 1.0.1\n' >"$served/data/new file.txt"
    printf 'volume=2\n' >"$install/user/settings.ini"

    local port
    port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    cat >"$nginx_dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $nginx_dir/tmp;
    proxy_temp_path $nginx_dir/tmp;
    fastcgi_temp_path $nginx_dir/tmp;
    uwsgi_temp_path $nginx_dir/tmp;
    scgi_temp_path $nginx_dir/tmp;
    types { }
    default_type application/octet-stream;
    server { listen 127.0.0.1:$port; root $served; }
}
CONF
    local nginx
    nginx="$(command -v nginx || echo /usr/sbin/nginx)"
    "$nginx" -p "$nginx_dir" -e "$nginx_dir/error.log" -c "$nginx_dir/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/data/readme.txt" && break
        sleep 0.1
    done

    config() { # version, then "path file" pairs
        local version="$1"
        shift
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<update>\n'
        printf '  <info version="%s" main="app.exe" server="http://127.0.0.1:%s"/>\n' \
            "$version" "$port"
        while [ $# -gt 0 ]; do
            printf '  <file path="%s" md5="%s"/>\n' "$1" "$(md5sum <"$2" | cut -d' ' -f1)"
            shift 2
        done
        printf '  <file path="/user/settings.ini" md5="0" ignore="1"/>\n</update>\n'
    }
    config 1.0.0 /app.exe "$install/app.exe" /data/readme.txt "$install/data/readme.txt" \
        /lib/core.dll "$install/lib/core.dll" >"$install/config/UpdateCfg.xml"
    # The earlier release as published, then the new one with patches from it.
    local earlier="$base/release-1.0.0" publish_problem=""
    mkdir -p "$earlier/lib" "$earlier/data"
    cp "$install/app.exe" "$earlier/"
    cp "$install/lib/core.dll" "$earlier/lib/"
    cp "$install/data/readme.txt" "$earlier/data/"
    publish() { # version, folder, more arguments
        local version="$1" folder="$2"
        shift 2
        (cd "$base" && wine "$bin/updater-publish.exe" --version "$version" --main app.exe \
            --server "http://127.0.0.1:$port" "$@" "$(winepath -w "$folder")") \
            >>"$base/publish.out" 2>&1 || publish_problem="updater-publish.exe $version failed"
    }
    publish 1.0.0 "$earlier"
    publish 1.0.1 "$served" --previous "$(winepath -w "$earlier/UpdateCfg.xml")"
    cp "$served/UpdateCfg.xml" "$install/update/UpdateCfg.xml"
    cp "$install/app.exe" "$base/app-1.0.0.exe"
    cp "$install/lib/core.dll" "$base/core-1.0.0.dll"
    cp "$install/update/UpdateCfg.xml" "$base/new.xml"
    cp "$install/config/UpdateCfg.xml" "$base/old.xml"

    local log="$install/log/update.log" holder="" platform="$qpa"
    local release_file="$base/release" watcher=""
    if [ "$mode" != plain ]; then
        # Opened and its READY file written before the updater starts.
        wine "$bin/holdopen.exe" "$(winepath -w "$install/lib/core.dll")" \
            "$(winepath -w "$base/ready")" "$(winepath -w "$release_file")" >"$base/holder.out" 2>&1 &
        holder=$!
        for _ in $(seq 300); do
            [ -f "$base/ready" ] && break
            sleep 0.1
        done
    fi
    if [ "$mode" = "let go" ]; then
        # Let go three seconds after the first wait is logged.
        (for _ in $(seq 1200); do
            grep -aq 'install: in use: ' "$log" 2>/dev/null && break
            sleep 0.1
        done
        sleep 3
        touch "$release_file") &
        watcher=$!
    fi
    # A failed run shows its message box; offscreen, its text goes to the log and the run ends.
    [ "$mode" != plain ] && platform=offscreen

    # Started from another directory: the updater works in its own.
    local started_at=$SECONDS
    (cd "$work" && timeout "$update_timeout" wine "$install/updater.exe" -platform "$platform" \
        >"$base/updater.out" 2>&1)
    local code=$? took=$((SECONDS - started_at))
    [ "$code" = 124 ] && wineserver -k 2>/dev/null
    touch "$release_file"
    [ -n "$watcher" ] && { kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null; }
    [ -n "$holder" ] && wait "$holder" 2>/dev/null
    # app.exe runs detached: wait until it has written its marker (the file appears whole).
    for _ in $(seq 600); do
        [ -f "$install/started.txt" ] && break
        sleep 0.1
    done
    kill "$nginx_pid" 2>/dev/null
    wait "$nginx_pid" 2>/dev/null
    nginx_pid=""

    local problems=()
    [ -z "$publish_problem" ] || problems+=("$publish_problem")
    [ -n "$holder" ] && [ ! -f "$base/ready" ] && problems+=("holdopen.exe did not open lib/core.dll")
    if [ "$code" = 124 ]; then
        problems+=("updater did not end within ${update_timeout}s")
    elif [ "$code" != 0 ]; then
        problems+=("updater exit $code")
    fi
    if [ "$mode" = held ]; then
        # Given up on: the old release byte for byte, nothing new, update/ gone.
        cmp -s "$install/app.exe" "$base/app-1.0.0.exe" || problems+=("app.exe changed")
        cmp -s "$install/lib/core.dll" "$base/core-1.0.0.dll" || problems+=("lib/core.dll changed")
        [ ! -e "$install/data/new file.txt" ] || problems+=("new file installed")
        cmp -s "$install/config/UpdateCfg.xml" "$base/old.xml" || problems+=("config changed")
        [ -z "$(ls -A "$install/backup" 2>/dev/null)" ] || problems+=("backup/ not empty")
    else
        cmp -s "$install/app.exe" "$served/app.exe" || problems+=("app.exe not the new one")
        cmp -s "$install/lib/core.dll" "$served/lib/core.dll" || problems+=("lib/core.dll")
        cmp -s "$install/data/new file.txt" "$served/data/new file.txt" || problems+=("new file")
        cmp -s "$install/backup/app.exe" "$base/app-1.0.0.exe" || problems+=("backup/app.exe")
        cmp -s "$install/backup/lib/core.dll" "$base/core-1.0.0.dll" || problems+=("backup/core.dll")
        [ ! -e "$install/backup/data/readme.txt" ] || problems+=("unchanged file backed up")
        cmp -s "$install/config/UpdateCfg.xml" "$base/new.xml" || problems+=("config not replaced")
    fi
    cmp -s "$install/data/readme.txt" "$served/data/readme.txt" || problems+=("readme.txt")
    [ "$(cat "$install/user/settings.ini")" = volume=2 ] || problems+=("settings changed")
    [ ! -e "$install/update" ] || problems+=("update/ left behind")
    if [ -f "$install/started.txt" ]; then
        local started_dir started_args
        started_dir="$(head -n1 "$install/started.txt" | tr -d '\r')"
        started_args="$(sed -n 2p "$install/started.txt" | tr -d '\r')"
        # app.exe reports its directory as Windows sees it: Z:\...\install dir.
        [ "$(winepath -u "$started_dir" 2>/dev/null | sed 's:/*$::')" = "$install" ] ||
            problems+=("app.exe started in $started_dir")
        [ "$started_args" = 0 ] || problems+=("app.exe got $started_args arguments")
    else
        problems+=("app.exe not started")
    fi
    # The log is UTF-8 with a byte order mark, lines end in CR LF.
    if [ -f "$log" ]; then
        [ "$(head -c3 "$log" | od -An -tx1 | tr -d ' ')" = efbbbf ] || problems+=("log without BOM")
        grep -aq "download: \"http://127.0.0.1:$port/data/new%20file.txt\"" "$log" ||
            problems+=("no download line")
        grep -aq "download: patch \"http://127.0.0.1:$port/.forms/lib/core.dll.[0-9a-f]*.patch\"" \
            "$log" || problems+=("library not fetched as a patch")
        grep -aq "download: decoded \".*lib/core.dll\" " "$log" || problems+=("no decoded line")
        # Every form applied: none fell back to the next.
        grep -aq "download: fallback" "$log" && problems+=("a form fell back")
        case "$mode" in
        held)
            grep -aq 'Controller::slot_updateFinished false ".*/lib/core.dll"' "$log" ||
                problems+=("no failure naming lib/core.dll in the log")
            grep -aq 'install: still in use: ".*/lib/core.dll",' "$log" ||
                problems+=("no give-up in the log")
            ;;
        *)
            grep -aq 'Controller::slot_updateFinished true "success"' "$log" ||
                problems+=("no success in the log")
            ;;
        esac
        if [ "$mode" = "let go" ]; then
            grep -aq 'install: no longer in use: ".*/lib/core.dll" after' "$log" ||
                problems+=("no wait in the log")
        fi
    else
        problems+=("no log")
    fi

    # What the log says was waited, for the table.
    local waited=""
    if [ "$mode" != plain ] && [ -f "$log" ]; then
        waited="$(tr -d '\r' <"$log" | sed -n 's/.*install: \(no longer\|still\) in use: .* after \([0-9]*\) ms.*/\2/p' | tail -n1)"
        waited="; waited ${waited:-?} ms, run ${took}s"
    fi
    local name="whole update"
    [ "$mode" != plain ] && name="in use, $mode"
    if [ ${#problems[@]} -eq 0 ]; then
        row "$name" - - - "pass$waited"
    else
        row "$name" - - - "FAIL: $(IFS=';'; echo "${problems[*]}")$waited"
        status=1
        [ -f "$log" ] && { echo "-- log:"; tr -d '\r' <"$log" | tail -n 30; }
        echo "-- output:"; tr -d '\r' <"$base/updater.out" | tail -n 30
    fi
}
# The shipped program asks for administrator rights (Wine itself does not enforce it).
if grep -aq 'level="requireAdministrator"' "$bin/updater.exe"; then
    row "manifest" - - - "pass (requireAdministrator embedded)"
else
    row "manifest" - - - "FAIL: no requireAdministrator manifest in updater.exe"
    status=1
fi

echo "-- whole update"
whole_update plain
echo "-- whole update, lib/core.dll in use for a while"
whole_update "let go"
echo "-- whole update, lib/core.dll in use for good"
whole_update held

echo
printf '%-20s %6s %6s %7s  %s\n' Program Passed Failed Skipped Result
printf '%s\n' "${rows[@]}"
exit $status
