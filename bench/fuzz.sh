#!/usr/bin/env bash
# Fuzzes one target, or each in turn, for SECONDS each (default 600) with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, at the lowest CPU priority:
#   reader   the configuration reader (and the publisher's writer read back)
#   version  the version rule
#   diff     the difference of an installed and a new configuration
#   path     the path checks, letter-case collisions and the download URL
#   journal  the installation journal's records and their checks
# Each starts from its seed corpus in tests/fuzz/corpus/TARGET; what it finds new goes to
# build/fuzz/corpus-TARGET (the seeds stay as they are), a failing input to
# build/fuzz/TARGET-crash-* (add it to the seed corpus once fixed). Ends with one line per target:
# executions, coverage (edges and features) and what was found.
#
#   bench/fuzz.sh [TARGET|all] [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
all_targets=(reader version diff path journal)
target=${1:-all}
seconds=${2:-600}
if [[ $target =~ ^[0-9]+$ ]] && [ $# -eq 1 ]; then
    seconds=$target
    target=all
fi
if [ "$target" = all ]; then
    targets=("${all_targets[@]}")
elif [[ " ${all_targets[*]} " == *" $target "* ]]; then
    targets=("$target")
else
    echo "usage: bench/fuzz.sh [reader|version|diff|path|journal|all] [SECONDS]" >&2
    exit 2
fi

if ! command -v clang++ >/dev/null; then
    echo "clang++ is missing: scripts/deps.sh installs it" >&2
    exit 1
fi
CXX=clang++ cmake -S tests/fuzz -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice -n 10 cmake --build build/fuzz --parallel 2 >/dev/null

summary=()
status=0
for name in "${targets[@]}"; do
    mkdir -p "build/fuzz/corpus-$name"
    log="build/fuzz/$name.log"
    # The reader and the difference both take configuration files.
    dict=tests/fuzz/config.dict
    [ -f "tests/fuzz/$name.dict" ] && dict="tests/fuzz/$name.dict"
    echo "fuzzing $name for $seconds s (log: $log)"
    set +e
    nice -n 19 "build/fuzz/${name}fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -max_len=8192 -timeout=10 -rss_limit_mb=2048 -dict="$dict" \
        -artifact_prefix="build/fuzz/$name-" "build/fuzz/corpus-$name" \
        "tests/fuzz/corpus/$name" >"$log" 2>&1
    result=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    # A failing seed ends the run before any status line.
    coverage=$({ grep -E '^#[0-9]+' "$log" || true; } | tail -n 1 |
        sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/edges \1, features \2/p')
    if [ $result -eq 0 ]; then
        found="no finding"
    else
        found="FINDING (exit $result): $(ls build/fuzz/"$name"-* 2>/dev/null | tr '\n' ' ')"
        status=1
    fi
    summary+=("$name: ${seconds} s, ${runs:-?} executions, ${coverage:-coverage unknown}, $found")
done
printf '%s\n' "${summary[@]}"
exit $status
