#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test through CTest.
# The exit status is CTest's.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"

# The configuration fuzz target, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# replays its seed corpus (CTest replays it too, built plainly, in tst_fuzzreplay).
fuzz_status=0
if command -v clang++ >/dev/null; then
    if CXX=clang++ cmake -S tests/fuzz -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
        cmake --build build/fuzz --parallel "$(nproc)" >/dev/null; then
        build/fuzz/configfuzzer -runs=0 tests/fuzz/corpus 2>&1 | tail -n 1 || fuzz_status=1
    else
        echo "building the fuzz target failed" >&2
        fuzz_status=1
    fi
else
    echo "clang++ is missing: the corpus is replayed by tst_fuzzreplay only" >&2
fi

cd build
set +e
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)"
status=$?
if [ $status -eq 0 ] && [ $fuzz_status -ne 0 ]; then
    status=$fuzz_status
fi
exit $status
