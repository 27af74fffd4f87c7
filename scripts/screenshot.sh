#!/usr/bin/env bash
# Runs the updater under Xvfb against a slow local nginx, saves a screenshot of the screen while
# the download is in flight to build/screenshots/updater.png, and checks what a user would see:
# the corners outside the rounded outline show the screen behind, the title strip is light blue
# with white text and the white close cross, the progress bar has filled part-way.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=lib/serve.sh
. scripts/lib/serve.sh

if ! command -v xvfb-run >/dev/null || ! command -v import >/dev/null; then
    echo "screenshot: needs xvfb-run and imagemagick (scripts/deps.sh installs them)" >&2
    exit 1
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target updater >/dev/null

out="$root/build/screenshots"
rm -rf "$out"
mkdir -p "$out"
install="$out/install"
release="$out/release"
mkdir -p "$install/config" "$install/update" "$install/data" "$release/data"
cp build/src/app/updater "$install/updater"

# An application whose one large data file changes in the new release.
printf '#!/bin/sh\necho started > started.txt\n' > "$install/app"
chmod +x "$install/app"
head -c 100000 /dev/zero > "$install/data/world.map"
head -c 3000000 /dev/urandom > "$release/data/world.map"

SERVE_EXTRA="limit_rate 300k;"   # about ten seconds for the file: time to look at the window
serve_start "$release" "$out/server"
trap serve_stop EXIT

config() { # version md5
    cat <<XML
<?xml version="1.0" encoding="UTF-8"?>
<update>
  <info version="$1" main="app" server="$SERVE_URL"/>
  <file path="/data/world.map" md5="$2"/>
</update>
XML
}
config 1.0.0 "$(md5sum < "$install/data/world.map" | cut -d' ' -f1)" > "$install/config/UpdateCfg.xml"
config 1.0.1 "$(md5sum < "$release/data/world.map" | cut -d' ' -f1)" > "$install/update/UpdateCfg.xml"

width=1024
height=768
shot="$out/updater.png"

# Inside the X server: start the updater, wait until the download is well under way, capture.
cat > "$out/capture.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
install="$1" shot="$2"
"$install/updater" &
pid=$!
captured=1
for _ in $(seq 1 600); do
    # A progress line with a file in flight between 10% and 90%.
    if grep -aqE '^\[[^]]*\] progress: 0 100 ([1-8][0-9])' "$install/log/update.log" 2>/dev/null; then
        sleep 0.5   # let the window repaint
        import -window root "$shot"
        captured=0
        break
    fi
    sleep 0.05
done
wait "$pid" || true
exit "$captured"
INNER
chmod +x "$out/capture.sh"

echo "== running the updater under Xvfb"
if ! xvfb-run -a -s "-screen 0 ${width}x${height}x24 -br" "$out/capture.sh" "$install" "$shot"; then
    echo "screenshot: the download was never seen in flight" >&2
    exit 1
fi
echo "saved $shot"

# The window is 490 x 200, centred on the screen.
x=$(( (width - 490) / 2 ))
y=$(( (height - 200) / 2 ))
pixel() { convert "$shot" -format "%[fx:int(255*p{$1,$2}.r)],%[fx:int(255*p{$1,$2}.g)],%[fx:int(255*p{$1,$2}.b)]" info:; }
near() { # "r,g,b" "r,g,b" -> true when every component is within 10
    local IFS=,
    read -r a b c <<< "$1"
    read -r d e f <<< "$2"
    (( ${a#-} - d < 11 && d - a < 11 && b - e < 11 && e - b < 11 && c - f < 11 && f - c < 11 ))
}
failures=0
check() { # description result
    if [ "$2" = ok ]; then echo "  ok    $1"; else echo "  FAIL  $1 ($2)"; failures=$((failures + 1)); fi
}

behind=$(pixel $((x - 20)) $((y - 20)))
for corner in "0 0" "489 0" "0 199" "489 199"; do
    read -r cx cy <<< "$corner"
    p=$(pixel $((x + cx)) $((y + cy)))
    near "$p" "$behind" && r=ok || r="$p, screen behind $behind"
    check "corner ($cx, $cy) shows the screen behind" "$r"
done
p=$(pixel $((x + 60)) $((y + 20)))
near "$p" "127,182,255" && r=ok || r="$p"
check "title strip is light blue" "$r"
p=$(pixel $((x + 1)) $((y + 38)))
near "$p" "127,182,255" && r=ok || r="$p"
check "title strip's lower corner is square" "$r"
whites=$(convert "$shot" -crop "190x30+$((x + 150))+$((y + 5))" -fx 'r>0.9 && g>0.9 && b>0.9' \
    -format '%[fx:int(mean*w*h)]' info:)
[ "$whites" -gt 20 ] && r=ok || r="$whites white pixels"
check "title text is white" "$r"
# The close cross at the right end of the title strip: white on both diagonals.
cross=$(convert "$shot" -crop "40x34+$((x + 445))+$((y + 2))" -fx 'r>0.9 && g>0.9 && b>0.9' \
    -format '%[fx:int(mean*w*h)]' info:)
[ "$cross" -gt 15 ] && r=ok || r="$cross white pixels"
check "close cross is shown" "$r"

# The bar: a row of the panel whose left end is the light-blue chunk and whose right end is
# still the white background.
bar=none
for row in $(seq $((y + 40)) $((y + 198))); do
    if near "$(pixel $((x + 30)) "$row")" "127,182,255" &&
        near "$(pixel $((x + 460)) "$row")" "255,255,255"; then
        bar=$row
        break
    fi
done
[ "$bar" != none ] && r=ok || r="no such row"
check "progress bar filled part-way (row $bar)" "$r"

if [ "$failures" -ne 0 ]; then
    echo "screenshot: $failures check(s) failed, see $shot" >&2
    exit 1
fi
echo "screenshot: all checks passed"
