#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs every test through CTest.
# The exit status is CTest's.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"

# The fuzz targets, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer, replay
# their seed corpora (CTest replays them too, built plainly, in tst_fuzzreplay_*).
fuzz_status=0
if command -v clang++ >/dev/null; then
    if CXX=clang++ cmake -S tests/fuzz -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
        cmake --build build/fuzz --parallel "$(nproc)" >/dev/null; then
        for target in reader version diff path journal; do
            echo -n "fuzz target $target: "
            build/fuzz/${target}fuzzer -runs=0 tests/fuzz/corpus/$target 2>&1 | tail -n 1 ||
                fuzz_status=1
        done
    else
        echo "building the fuzz targets failed" >&2
        fuzz_status=1
    fi
else
    echo "clang++ is missing: the corpora are replayed by tst_fuzzreplay_* only" >&2
fi

cd build
set +e
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)"
status=$?
if [ $status -eq 0 ] && [ $fuzz_status -ne 0 ]; then
    status=$fuzz_status
fi
exit $status
