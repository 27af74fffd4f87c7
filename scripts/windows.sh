#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows with MinGW-w64 on a Debian machine.
#
# Stages (each prints its time):
#   packages  the cross compiler, ninja, wine64, Xvfb, nginx and Qt's host tools
#   qt        qtbase built from Debian's source for MinGW into a cache folder outside the
#             repository (UPDATER_QT_MINGW_CACHE, default ~/.cache/updater-qt-mingw); skipped
#             when a finished build is there
#   libcrypto OpenSSL's libcrypto (static) from Debian's source into the same cache, for the
#             signatures of signed releases; skipped when built
#   libzstd   zstd's library (static) from Debian's source into the same cache, for the
#             compressed copies and patches of releases; skipped when built
#   updater   this project cross-built into build-windows/ (UPDATER_WINDOWS_BUILD)
#   deploy    the Qt and MinGW runtime DLLs and the platform plugins beside the executables
#   zip       updater.exe with the runtime it uses, in build-windows/updater-VERSION-windows-x64.zip,
#             to be copied into an application's installation folder
#
# Everything long runs under `nice -n 19` with at most UPDATER_WINDOWS_JOBS (default 2) jobs so
# that it takes only spare cycles on a shared machine. scripts/windows-test.sh runs the result
# under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${UPDATER_QT_MINGW_CACHE:-$HOME/.cache/updater-qt-mingw}"
build="${UPDATER_WINDOWS_BUILD:-$root/build-windows}"
jobs="${UPDATER_WINDOWS_JOBS:-2}"
toolchain="$root/cmake/mingw-w64.cmake"
# Qt is used from its build tree (a non-prefix build): only the modules and plugins the updater
# needs are built, and there is no install step.
prefix="$cache/build"
qt_version="6.4.2"
triple=x86_64-w64-mingw32
stamp="$prefix/.updater-qt-complete"

# Options given to qtbase. Debian's source lacks the tablet header (tablet events off), and the
# Windows platform plugin of this Qt does not compile without OpenGL.
qt_options=(
    -G Ninja
    -DCMAKE_BUILD_TYPE=Release
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_tabletevent=OFF
    -DFEATURE_opengl=ON
    -DINPUT_opengl=desktop
)
# EntryPointImplementation is the static library with WinMain that every GUI program links.
qt_targets=(Core Gui Widgets Network Test EntryPointImplementation
            QWindowsIntegrationPlugin QOffscreenIntegrationPlugin QWindowsVistaStylePlugin)

stage_start=0
stage() {
    stage_name="$1"
    stage_start=$(date +%s)
    echo "== $stage_name: started $(date +%T)"
}
stage_done() {
    local secs=$(($(date +%s) - stage_start))
    printf '== %s: %s (%dm%02ds)\n' "$stage_name" "$1" $((secs / 60)) $((secs % 60))
    times+=("$(printf '%-9s %-12s %dm%02ds' "$stage_name" "$1" $((secs / 60)) $((secs % 60)))")
}
times=()

low() { nice -n 19 "$@"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# --- packages -------------------------------------------------------------------------------
stage packages
packages=(g++-mingw-w64-x86-64-posix ninja-build cmake wine wine64 xvfb xauth nginx-light curl python3
          qt6-base-dev qt6-base-dev-tools dpkg-dev xz-utils perl make)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
    stage_done installed
else
    stage_done present
fi

# Fetches Debian's source of package into dir, adding a deb-src entry for this suite when the
# system has none.
fetch_source() {
    local package="$1" dir="$2"
    if [ -z "$(apt-get source --print-uris "$package" 2>/dev/null | grep -F .dsc)" ]; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "No deb-src entry for $package; add one for this suite and rerun" >&2
            exit 1
        fi
        local suites
        suites="$(. /etc/os-release && echo "$VERSION_CODENAME $VERSION_CODENAME-updates")"
        cat >/etc/apt/sources.list.d/updater-deb-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suites
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        apt-get update -q
    fi
    mkdir -p "$dir"
    (cd "$dir" && apt-get source -q "$package")
}

# source_dir PACKAGE DIR GLOB: prints the folder under DIR, named like GLOB, that holds PACKAGE's
# unpacked source; fetches it first when there is none (apt-get's output goes to stderr). Prints
# nothing when it still cannot be found.
source_dir() {
    local package="$1" dir="$2" glob="$3" found
    mkdir -p "$dir"
    found="$(find "$dir" -maxdepth 1 -type d -name "$glob" | head -n1)"
    if [ -z "$found" ]; then
        fetch_source "$package" "$dir" >&2
        found="$(find "$dir" -maxdepth 1 -type d -name "$glob" | head -n1)"
    fi
    echo "$found"
}

# --- qt -------------------------------------------------------------------------------------
stage qt
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${qt_options[*]} ${qt_targets[*]}" ]; then
    stage_done cached
else
    # The source comes from the same suite as the host tools, so their versions match.
    srcdir="$(source_dir qt6-base "$cache/src" "qt6-base-$qt_version*")"
    [ -n "$srcdir" ] || { echo "qtbase $qt_version source not found in $cache/src" >&2; exit 1; }
    host_version="$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)"
    case "$host_version" in
        "$qt_version"*) ;;
        *) echo "Qt host tools are $host_version, the source is $qt_version" >&2; exit 1 ;;
    esac

    rm -f "$stamp"
    if [ ! -f "$cache/build/build.ninja" ]; then
        low cmake -S "$srcdir" -B "$cache/build" \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
            -DQT_WILL_INSTALL=OFF "${qt_options[@]}"
    fi
    low cmake --build "$cache/build" --parallel "$jobs" --target "${qt_targets[@]}"
    echo "${qt_options[*]} ${qt_targets[*]}" >"$stamp"
    stage_done built
fi
[ "${1:-}" = "--qt-only" ] && { printf '%s\n' "${times[@]}"; exit 0; }

# --- libcrypto ------------------------------------------------------------------------------
# OpenSSL's libcrypto, static, from Debian's source, for the Ed25519 signatures of signed
# releases (MD5 comes from Qt there). Only the library and its headers are installed.
stage libcrypto
ssl_prefix="$cache/openssl"
ssl_options=(mingw64 no-shared no-tests no-engine no-dso no-module
             --cross-compile-prefix="$triple-" --prefix="$ssl_prefix" --libdir=lib)
ssl_stamp="$ssl_prefix/.updater-openssl-complete"
if [ -f "$ssl_stamp" ] && [ "$(cat "$ssl_stamp")" = "${ssl_options[*]}" ]; then
    stage_done cached
else
    ssl_src="$(source_dir openssl "$cache/openssl-src" 'openssl-3.*')"
    [ -n "$ssl_src" ] || { echo "OpenSSL 3 source not found in $cache/openssl-src" >&2; exit 1; }
    rm -f "$ssl_stamp"
    mkdir -p "$cache/openssl-build"
    if [ ! -f "$cache/openssl-build/Makefile" ]; then
        (cd "$cache/openssl-build" && low perl "$ssl_src/Configure" "${ssl_options[@]}" >/dev/null)
    fi
    low make -C "$cache/openssl-build" -j"$jobs" build_generated libcrypto.a >/dev/null
    rm -rf "$ssl_prefix"
    mkdir -p "$ssl_prefix/include/openssl" "$ssl_prefix/lib"
    cp "$ssl_src"/include/openssl/*.h "$cache/openssl-build"/include/openssl/*.h \
        "$ssl_prefix/include/openssl/"
    cp "$cache/openssl-build/libcrypto.a" "$ssl_prefix/lib/"
    echo "${ssl_options[*]}" >"$ssl_stamp"
    stage_done built
fi

# --- libzstd --------------------------------------------------------------------------------
# zstd's library, static, from Debian's source: the updater decodes compressed copies and patches
# with it, the publisher writes them. Only the library and its headers are installed.
stage libzstd
zstd_prefix="$cache/zstd"
zstd_options=(CC="$triple-gcc-posix" AR="$triple-ar" CFLAGS=-O2 libzstd.a)
zstd_stamp="$zstd_prefix/.updater-zstd-complete"
if [ -f "$zstd_stamp" ] && [ "$(cat "$zstd_stamp")" = "${zstd_options[*]}" ]; then
    stage_done cached
else
    zstd_src="$(source_dir libzstd "$cache/zstd-src" 'libzstd-1.*')"
    [ -n "$zstd_src" ] || { echo "zstd source not found in $cache/zstd-src" >&2; exit 1; }
    rm -f "$zstd_stamp"
    # Built in a copy, so that the source stays as Debian ships it.
    rm -rf "$cache/zstd-build"
    cp -r "$zstd_src/lib" "$cache/zstd-build"
    low make -C "$cache/zstd-build" -j"$jobs" "${zstd_options[@]}" >/dev/null
    rm -rf "$zstd_prefix"
    mkdir -p "$zstd_prefix/include" "$zstd_prefix/lib"
    cp "$cache/zstd-build"/zstd.h "$cache/zstd-build"/zstd_errors.h "$zstd_prefix/include/"
    cp "$cache/zstd-build/libzstd.a" "$zstd_prefix/lib/"
    echo "${zstd_options[*]}" >"$zstd_stamp"
    stage_done built
fi

# --- updater --------------------------------------------------------------------------------
# Every program lands in one folder, bin/, so that one copy of the runtime serves them all.
stage updater
low cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix;$ssl_prefix;$zstd_prefix" -DOPENSSL_ROOT_DIR="$ssl_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$build/bin" >/dev/null
low cmake --build "$build" --parallel "$jobs"
stage_done built

# --- deploy ---------------------------------------------------------------------------------
stage deploy
bin="$build/bin"
# The compiler's own runtime (libstdc++, libgcc) lies beside its libgcc.a.
gcc_dir="$(dirname "$("$triple-gcc-posix" -print-libgcc-file-name)")"
search=("$prefix/bin" "$gcc_dir" "/usr/$triple/lib")
mkdir -p "$bin/platforms" "$bin/styles"
cp -u "$prefix/plugins/platforms/qwindows.dll" "$prefix/plugins/platforms/qoffscreen.dll" \
    "$bin/platforms/"
cp -u "$prefix/plugins/styles/qwindowsvistastyle.dll" "$bin/styles/"
# Every DLL the programs and plugins import, and what those import in turn, when it is one of
# Qt's or MinGW's (the rest are Windows' own).
queue=("$bin"/*.exe "$bin"/platforms/*.dll "$bin"/styles/*.dll)
declare -A seen=()
while [ ${#queue[@]} -gt 0 ]; do
    file="${queue[0]}"
    queue=("${queue[@]:1}")
    while read -r dll; do
        [ -n "${seen[$dll]:-}" ] && continue
        seen[$dll]=1
        found=""
        for dir in "${search[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp -u "$dir/$dll" "$bin/"
                queue+=("$bin/$dll")
                found=1
                break
            fi
        done
        # Qt's and the compiler's DLLs must be found; Windows' own are not looked for.
        case "$dll" in
            Qt6*.dll | lib*.dll)
                [ -n "$found" ] || { echo "$dll (imported by $file) not found in ${search[*]}" >&2; exit 1; }
                ;;
        esac
    done < <("$triple-objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
# Without a qt.conf Qt would look for its plugins where it was built; they sit beside it here.
printf '[Paths]\nPrefix = .\nPlugins = .\n' >"$bin/qt.conf"
stage_done "$(find "$bin" -maxdepth 1 -name '*.exe' | wc -l) programs"

# --- zip ------------------------------------------------------------------------------------
# What an installation needs of the above: updater.exe, the DLLs it imports (and they import),
# its platform and style plugins and qt.conf; not the tests nor Qt Test.
stage zip
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
zip_name="updater-${version:-unknown}-windows-x64"
zip_files="$(OBJDUMP="$triple-objdump" bash "$root/scripts/lib/windows-zip.sh" "$bin" "$zip_name" "$build")"
echo "   $build/$zip_name.zip"
stage_done "$zip_files"

echo
echo "Stage     Result       Time"
printf '%s\n' "${times[@]}"
