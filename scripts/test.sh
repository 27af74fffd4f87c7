#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test through CTest.
# The exit status is CTest's.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"

cd build
set +e
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)"
status=$?
exit $status
