#!/usr/bin/env bash
# Builds the fuzz targets with clang (into build-fuzz/) and runs each for the
# given number of seconds inside the fake sandbox, starting from the seed
# corpus fuzz/corpus. Any crash, sanitizer report or broken invariant fails
# the run; its input is kept in build-fuzz/findings/ (add it to fuzz/corpus as
# a regression case once fixed).
# usage: fuzz/run.sh [SECONDS per target, default 60]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
command -v clang++ >/dev/null || { echo "fuzz: clang++ missing (apt-get install clang)"; exit 1; }

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DZORVANE_FUZZ=ON -DZORVANE_BUILD_TESTS=OFF \
    -DZORVANE_BUILD_EXAMPLES=OFF -DZORVANE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_apply fuzz_counts fuzz_families fuzz_check >/dev/null

status=0
for target in fuzz_apply fuzz_counts fuzz_families fuzz_check; do
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$corpus" "$findings"
    log=$build/$target.log
    echo "== $target: ${seconds}s"
    if "$top/tests/sandbox/sandbox.sh" fake "$build/$target" -max_total_time="$seconds" -timeout=10 \
        -dict="$top/fuzz/rules.dict" -artifact_prefix="$findings/" -print_final_stats=1 \
        "$corpus" "$top/fuzz/corpus" > "$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|DONE +cov:' "$log" | tail -n 5
        echo "   corpus: $(find "$corpus" -type f | wc -l) inputs; findings: none"
    else
        status=1
        echo "   FINDING (log: $log; inputs: $findings)"
        grep -E 'ERROR|invariant|SUMMARY|runtime error' "$log" | head -n 20
    fi
done
exit "$status"
