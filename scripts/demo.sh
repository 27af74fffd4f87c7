#!/usr/bin/env bash
# Shows a whole update: an installed release 1.0.0 of a small application, release 1.0.1 with
# some files changed, one added and one ignored, published with updater-publish, served from a
# local nginx on loopback, and updater doing the run in the installation directory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=lib/serve.sh
. scripts/lib/serve.sh

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target updater updater-publish >/dev/null

updater="$root/build/src/app/updater"
publish="$(find "$root/build/tools" -type f -name updater-publish -perm -u+x | head -n 1)"

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
serve_start "$new" "$demo/server"
trap serve_stop EXIT

mkdir -p "$install/config" "$install/update"
"$publish" --version 1.0.0 --main app --server "$SERVE_URL" --ignore 'user/*' \
    --output "$install/config/UpdateCfg.xml" "$old"
"$publish" --version 1.0.1 --main app --server "$SERVE_URL" --ignore 'user/*' \
    --previous "$install/config/UpdateCfg.xml" --output "$new/UpdateCfg.xml" "$new"
cp "$new/UpdateCfg.xml" "$install/update/UpdateCfg.xml"

(cd "$install" && find . -type f ! -path './updater' -exec md5sum {} + | sort -k2) > "$demo/before.txt"

echo
status=0
if [ -n "${DISPLAY:-}" ]; then
    echo "== running updater in a window (DISPLAY=$DISPLAY)"
    "$install/updater" || status=$?
else
    echo "== no display: running updater offscreen"
    QT_QPA_PLATFORM=offscreen "$install/updater" || status=$?
fi
echo "updater exited with status $status"

# The main program is started detached; give it a moment to write its note.
for _ in $(seq 1 50); do [ -f "$install/started.txt" ] && break; sleep 0.1; done

(cd "$install" && find . -type f ! -path './updater' ! -path './log/*' ! -path './backup/*' \
    ! -name started.txt -exec md5sum {} + | sort -k2) > "$demo/after.txt"

echo
echo "== what changed in the installation (md5 before -> after)"
join -j 2 -a 1 -a 2 -e '(none)' -o '0,1.1,2.1' "$demo/before.txt" "$demo/after.txt" |
    awk '$2 != $3 { printf "  %-28s %s -> %s\n", $1, substr($2,1,8), substr($3,1,8) }'
echo
echo "== backup/ (the previous copies)"
(cd "$install" && find backup -type f | sort | sed 's/^/  /')
echo
echo "== update/ after the run"
if [ -e "$install/update" ]; then echo "  still there"; else echo "  gone"; fi
echo
echo "== installed configuration"
grep -o '<info [^>]*>' "$install/config/UpdateCfg.xml" | sed 's/^/  /'
echo
echo "== the user's own file (ignored by the release)"
sed 's/^/  /' "$install/user/settings.ini"
echo
echo "== the main program"
sed 's/^/  /' "$install/started.txt" 2>/dev/null || echo "  not started"
echo
echo "== log/update.log"
tr -d '\r' < "$install/log/update.log" | grep -v -E 'Update::slot_readyRead|write to file|Update::slot_downloadProgress|^\[[^]]*\] [0-9]+ -?[0-9]+$' | sed 's/^/  /'
echo "  (progress lines of the download omitted: $(grep -c 'write to file' "$install/log/update.log") writes)"
exit $status
