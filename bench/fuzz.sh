#!/usr/bin/env bash
# Fuzzes the configuration reader, the version rule, the difference, the path checks and the
# download URL for SECONDS (default 600) with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, at the lowest CPU priority. Starts from the seed corpus in
# tests/fuzz/corpus; what it finds new goes to build/fuzz/corpus (the seeds stay as they are),
# a crash to build/fuzz/crash-*. Ends with libFuzzer's figures (executions, coverage).
#
#   bench/fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds=${1:-600}

if ! command -v clang++ >/dev/null; then
    echo "clang++ is missing: scripts/deps.sh installs it" >&2
    exit 1
fi
CXX=clang++ cmake -S tests/fuzz -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz --parallel 2 >/dev/null

mkdir -p build/fuzz/corpus
cd build/fuzz
nice -n 19 ./configfuzzer -max_total_time="$seconds" -print_final_stats=1 -max_len=8192 \
    -timeout=10 -rss_limit_mb=2048 -dict="$root/tests/fuzz/config.dict" \
    corpus "$root/tests/fuzz/corpus"
