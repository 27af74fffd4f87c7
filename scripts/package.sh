#!/usr/bin/env bash
# Builds the Debian packages into build/packages/: updater-publish (the publishing tool, in
# /usr/bin) and updater (/usr/lib/updater/updater, to be copied into an application's
# installation). Their dependencies are read from the programs' libraries by dpkg-shlibdeps.
# Only the two programs are built for them (the tests are not).
#
# Install one with: apt-get install ./build/packages/updater-publish_<version>_<arch>.deb
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# dpkg-shlibdeps (dpkg-dev) and file find the packages' dependencies.
bash scripts/deps.sh dpkg-dev file

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)" --target updater updater-publish
rm -f build/packages/*.deb
(cd build && cpack)
echo
echo "Packages:"
for deb in build/packages/*.deb; do
    printf '  %s\n' "$deb"
done
