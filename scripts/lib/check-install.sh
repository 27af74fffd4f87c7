#!/usr/bin/env bash
# Installs a build tree with `cmake --install` into temporary prefixes and checks what lands
# there: the programs where the installation rules put them, each starting from its installed
# place with only the system's libraries.
#
# The updater has no option that only prints: started, it updates the folder it lies in. So it
# is not run; it must be an executable ELF file whose libraries all resolve (ldd). The
# publishing tool is run: --help, and a small release published.
#
# Usage: check-install.sh BUILD_DIR
set -uo pipefail
build="${1:?usage: check-install.sh BUILD_DIR}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

is_elf_program() {
    [ -f "$1" ] && [ -x "$1" ] && [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]
}
libraries_resolve() {
    local out
    out="$(ldd "$1" 2>&1)" || { echo "$out"; return 1; }
    ! grep -F 'not found' <<<"$out"
}

# A plain installation: both programs in bin/, the README in the documentation folder.
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install failed"; exit 1; }
publish="$prefix/bin/updater-publish"
updater="$prefix/bin/updater"
[ -f "$prefix/share/doc/updater/README.md" ] || fail "README.md not in share/doc/updater"
[ ! -e "$prefix/lib/updater" ] || fail "a plain installation holds the package's lib/updater"

is_elf_program "$updater" || fail "bin/updater is not an executable ELF file"
libraries_resolve "$updater" || fail "bin/updater has libraries that do not resolve"
is_elf_program "$publish" || fail "bin/updater-publish is not an executable ELF file"
libraries_resolve "$publish" || fail "bin/updater-publish has libraries that do not resolve"
# Nothing of the build tree is needed: no run path into it.
for program in "$updater" "$publish"; do
    if readelf -d "$program" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$(basename "$program") keeps a run path into the build tree"
    fi
done

help="$("$publish" --help 2>&1)"
status=$?
[ $status -eq 0 ] || fail "updater-publish --help exited with $status"
for word in Usage: RELEASE_DIR size= exec= --server 'user name'; do
    grep -qF -- "$word" <<<"$help" || fail "updater-publish --help does not mention $word"
done

# The installed tool publishes a release, from a folder outside the build tree.
release="$tmp/release"
mkdir -p "$release/bin"
printf '#!/bin/sh\n' >"$release/bin/app"
chmod +x "$release/bin/app"
echo data >"$release/data.txt"
if (cd "$tmp" && "$publish" --version 1.2 --main bin/app --server http://127.0.0.1/app \
    "$release" >"$tmp/publish.log" 2>&1); then
    grep -q 'path="/bin/app"[^>]*exec="1"' "$release/UpdateCfg.xml" ||
        fail "the published configuration lacks the executable main program"
else
    cat "$tmp/publish.log"
    fail "the installed updater-publish could not publish a release"
fi

# The updater's package puts it off the PATH, in lib/updater.
component="$tmp/component"
cmake --install "$build" --prefix "$component" --component updater_package >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "installing the updater_package component failed"; }
is_elf_program "$component/lib/updater/updater" || fail "the package's updater is not lib/updater/updater"
[ ! -e "$component/bin" ] || fail "the updater's package installs into bin/"

if [ $failures -eq 0 ]; then
    echo "installed programs: updater-publish runs, updater resolves its libraries"
fi
[ $failures -eq 0 ]
