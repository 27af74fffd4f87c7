#!/usr/bin/env bash
# Shows a whole update: an installed release 1.0.0 of a small application, release 1.0.1 with
# some files changed, one added and one ignored, published with updater-publish, served from a
# local nginx on loopback, and updater doing the run in the installation directory. Both
# releases are signed with the publisher's key: 1.0.0 as installed carries the key, so 1.0.1
# must come with a valid signature by it.
#
# Works as root (wherever the clone is, /root included) and as an ordinary user once the
# packages are installed. Ends with "DEMO SUCCEEDED" (status 0) or "DEMO FAILED: reason"
# (status 1); a failure is preceded by its reasons, the updater's standard error and the
# server's error log.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=lib/serve.sh
. scripts/lib/serve.sh

started_at=$(date +%s)
fail() {
    echo
    echo "DEMO FAILED: $*"
    exit 1
}
indent() { sed 's/^/  /'; }

mkdir -p build
setup_log="$root/build/demo-setup.log"
echo "== installing what is missing and building updater (output in $setup_log)"
if ! {
    bash scripts/deps.sh &&
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build --parallel "$(nproc)" --target updater updater-publish
} >"$setup_log" 2>&1; then
    tail -n 25 "$setup_log" | indent
    fail "installing or building failed (the whole output is in $setup_log)"
fi
echo "  done in $(($(date +%s) - started_at)) s"

updater="$root/build/src/app/updater"
publish="$(find "$root/build/tools" -type f -name updater-publish -perm -u+x | head -n 1)"
[ -x "$updater" ] && [ -n "$publish" ] || fail "the build left no updater or updater-publish"

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
install="$demo/install"          # where the application is installed
old="$demo/release-1.0.0"        # what the publisher shipped before
new="$demo/release-1.0.1"        # what the publisher ships now, served over HTTP

# The application: a main program that notes when it was started, and a few files in folders.
make_release() {
    local dir="$1" version="$2"
    mkdir -p "$dir/lib/plugins" "$dir/data/maps" "$dir/user"
    cat > "$dir/app" <<APP
#!/bin/sh
# Demo application $version: records that the updater started it.
echo "demo application $version started in \$(pwd) at \$(date '+%H:%M:%S')" >> started.txt
APP
    chmod +x "$dir/app"
    echo "core library $version" > "$dir/lib/core.so"
    echo "image plugin 1.0.0" > "$dir/lib/plugins/image.so"
    echo "readme of the demo application" > "$dir/data/readme.txt"
    head -c 3000000 /dev/urandom > "$dir/data/maps/world.map"
    echo "volume=5" > "$dir/user/settings.ini"
}

make_release "$old" 1.0.0
make_release "$new" 1.0.1
head -c 4000000 /dev/urandom > "$new/data/maps/world.map"   # changed, large enough to watch
echo "audio plugin 1.0.1" > "$new/lib/plugins/audio.so"       # added
echo "volume=9 (publisher default)" > "$new/user/settings.ini" # ignored: the user's own file

# Install 1.0.0 as a user has it (the user changed the settings).
cp -a "$old" "$install"
echo "volume=2 (changed by the user)" > "$install/user/settings.ini"
cp "$updater" "$install/updater"

SERVE_EXTRA="limit_rate 2m;"   # slow enough to see the window move
serve_start "$new" "$demo/server" || fail "could not start nginx (see $demo/server/start.log)"
trap serve_stop EXIT

mkdir -p "$install/config" "$install/update" "$demo/keys"
key="$demo/keys/release.key"   # the publisher's private key: never on the server
{
    "$publish" --generate-key "$key" > "$demo/keys/release.pub" &&
        "$publish" --version 1.0.0 --main app --server "$SERVE_URL" --ignore 'user/*' \
            --sign-key "$key" "$old" &&
        "$publish" --version 1.0.1 --main app --server "$SERVE_URL" --ignore 'user/*' \
            --sign-key "$key" --previous "$old/UpdateCfg.xml" \
            --output "$new/UpdateCfg.xml" "$new"
} >"$demo/publish.log" 2>&1 || { indent < "$demo/publish.log"; fail "updater-publish failed"; }
# 1.0.0 was installed with its configuration, which names the key; the application places the
# new configuration and its signature, each byte for byte as published.
cp "$old/UpdateCfg.xml" "$install/config/UpdateCfg.xml"
cp "$new/UpdateCfg.xml" "$new/UpdateCfg.xml.sig" "$install/update/"

(cd "$install" && find . -type f ! -path './updater' -exec md5sum {} + | sort -k2) > "$demo/before.txt"

echo
echo "== the setting"
echo "  installed: release 1.0.0 in $install"
echo "  offered:   release 1.0.1 served by nginx at $SERVE_URL from $new"
echo "             (world.map and core.so changed, audio.so added, user/ left to the user)"
echo "  signed:    both releases, with the key $(cut -c1-16 < "$demo/keys/release.pub")...;"
echo "             the installed 1.0.0 names it, so 1.0.1 must carry a valid signature by it"

echo
status=0
if [ -n "${DISPLAY:-}" ]; then
    echo "== running updater in a window (DISPLAY=$DISPLAY)"
    "$install/updater" 2>"$demo/updater.stderr" || status=$?
else
    echo "== no display: running updater offscreen (a message box goes to standard error)"
    QT_QPA_PLATFORM=offscreen "$install/updater" 2>"$demo/updater.stderr" || status=$?
fi
echo "  updater exited with status $status"

log="$install/log/update.log"
[ -f "$log" ] || fail "updater wrote no log (standard error: $(tr '\n' ' ' < "$demo/updater.stderr"))"
outcome="$(tr -d '\r' < "$log" | sed -n 's/^\[[^]]*\] \(Controller::slot_updateFinished .*\)$/\1/p' | tail -n 1)"

# The main program is started detached; give it a moment to write its note.
for _ in $(seq 1 50); do [ -f "$install/started.txt" ] && break; sleep 0.1; done

(cd "$install" && find . -type f ! -path './updater' ! -path './log/*' ! -path './backup/*' \
    ! -name started.txt -exec md5sum {} + | sort -k2) > "$demo/after.txt"

echo
echo "== what changed in the installation (md5 before -> after)"
join -j 2 -a 1 -a 2 -e '(none)' -o '0,1.1,2.1' "$demo/before.txt" "$demo/after.txt" |
    awk '$2 != $3 { printf "  %-28s %s -> %s\n", $1, substr($2,1,8), substr($3,1,8) }'
echo
echo "== backup/ (the copies that were replaced)"
if [ -d "$install/backup" ]; then
    (cd "$install" && find backup -type f | sort | indent)
else
    echo "  (none)"
fi
echo
echo "== update/ after the run"
if [ -e "$install/update" ]; then echo "  still there"; else echo "  gone"; fi
echo
echo "== installed configuration"
grep -o '<info [^>]*>' "$install/config/UpdateCfg.xml" | indent
echo
echo "== the user's own file (ignored by the release)"
indent < "$install/user/settings.ini"
echo
echo "== the restarted application"
if [ -f "$install/started.txt" ]; then indent < "$install/started.txt"; else echo "  not started"; fi
echo
echo "== the signature check in log/update.log"
tr -d '\r' < "$log" | grep -E '^\[[^]]*\] update config signature' | sed "s|$demo/||g" | indent
echo
echo "== last lines of log/update.log (the download's progress lines left out)"
tr -d '\r' < "$log" |
    grep -v -E 'Update::slot_readyRead|write to file|Update::slot_downloadProgress|^\[[^]]*\] [0-9]+ -?[0-9]+$|progress: ' |
    tail -n 12 | sed "s|$demo/||g" | indent

# The outcome is the log's, not the exit status: after a failure box the updater still exits 0.
reasons=()
[ "$outcome" = 'Controller::slot_updateFinished true "success"' ] ||
    reasons+=("the updater reported: ${outcome:-no outcome line in the log}")
installed_version="$(sed -n 's/.*<info [^>]*version="\([^"]*\)".*/\1/p' "$install/config/UpdateCfg.xml")"
[ "$installed_version" = "1.0.1" ] || reasons+=("the installed configuration is version '$installed_version'")
for f in app lib/core.so lib/plugins/image.so lib/plugins/audio.so data/readme.txt data/maps/world.map; do
    cmp -s "$new/$f" "$install/$f" || reasons+=("$f is not the file of release 1.0.1")
done
grep -q 'changed by the user' "$install/user/settings.ini" || reasons+=("the user's settings were replaced")
tr -d '\r' < "$log" | grep -q '^\[[^]]*\] update config signature valid:' ||
    reasons+=("the log does not show the signature of 1.0.1 checked")
grep -q "publickey=\"$(cat "$demo/keys/release.pub")\"" "$install/config/UpdateCfg.xml" ||
    reasons+=("the installed configuration does not name the publisher's key")
[ -f "$install/started.txt" ] || reasons+=("the application was not started again")

if [ ${#reasons[@]} -ne 0 ]; then
    echo
    echo "== why it failed"
    printf '  %s\n' "${reasons[@]}"
    if [ -s "$demo/updater.stderr" ]; then
        echo "  updater's standard error:"
        sed 's/^/    /' "$demo/updater.stderr"
    fi
    if [ -s "$demo/server/error.log" ]; then
        echo "  the server's error log (last lines):"
        tail -n 5 "$demo/server/error.log" | sed 's/^/    /'
    fi
    fail "${reasons[0]}"
fi
echo
echo "DEMO SUCCEEDED: release 1.0.0 updated to signed release 1.0.1 and the application restarted" \
    "($(($(date +%s) - started_at)) s in all)"
