#!/usr/bin/env bash
# Packs updater.exe and the runtime it needs from a deployed Windows bin/ folder into a ZIP,
# ready to be unpacked and copied into an application's installation folder:
#
#   NAME/updater.exe, qt.conf, the Qt and MinGW DLLs updater.exe imports (and what they import),
#   NAME/platforms/qwindows.dll, NAME/styles/qwindowsvistastyle.dll (and NAME/tls/ when built)
#
# Only what updater.exe uses goes in: not the test programs, nor Qt Test, nor the offscreen
# platform plugin. Fails when a Qt or MinGW DLL that is imported is not in bin/.
#
# Usage: windows-zip.sh BIN_DIR NAME OUT_DIR   (writes OUT_DIR/NAME.zip)
set -euo pipefail
bin="${1:?usage: windows-zip.sh BIN_DIR NAME OUT_DIR}"
name="${2:?usage: windows-zip.sh BIN_DIR NAME OUT_DIR}"
out="${3:?usage: windows-zip.sh BIN_DIR NAME OUT_DIR}"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"

work="$out/zip-staging"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
staging="$work/$name"
mkdir -p "$staging"

for required in updater.exe qt.conf platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    [ -f "$bin/$required" ] || { echo "$required is not in $bin: deploy first" >&2; exit 1; }
done
cp "$bin/updater.exe" "$bin/qt.conf" "$staging/"
queue=("$staging/updater.exe")
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)
for tls in "$bin"/tls/*.dll; do
    [ -f "$tls" ] && plugins+=("tls/$(basename "$tls")")
done
for plugin in "${plugins[@]}"; do
    mkdir -p "$staging/$(dirname "$plugin")"
    cp "$bin/$plugin" "$staging/$plugin"
    queue+=("$staging/$plugin")
done

# Every DLL imported by what is packed, followed through the imports of the imports, when it
# lies in bin/ (the rest are Windows' own). Qt's and MinGW's must be there.
declare -A packed=()
while [ ${#queue[@]} -gt 0 ]; do
    file="${queue[0]}"
    queue=("${queue[@]:1}")
    while read -r dll; do
        [ -n "$dll" ] && [ -z "${packed[$dll]:-}" ] || continue
        packed[$dll]=1
        if [ -f "$bin/$dll" ]; then
            cp "$bin/$dll" "$staging/"
            queue+=("$staging/$dll")
        else
            case "$dll" in
                Qt6*.dll | lib*.dll)
                    echo "$dll (imported by $(basename "$file")) is not in $bin" >&2
                    exit 1
                    ;;
            esac
        fi
    done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

rm -f "$out/$name.zip"
(cd "$work" && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "$(cd "$work" && find "$name" -type f | wc -l) files"
