#!/usr/bin/env bash
# The Python package's cost against C's, inside "sandbox.sh nft|legacy":
# zorvane.apply(text) and zorvane.counts(text) against the same library
# calls from C (bench/python_cost.c), at each size of a block list, in
# turns, medians. CSV rows on standard output, as zvn_bench prints.
# usage: sandbox.sh nft|legacy bench/python_cost.sh LIBRARY_DIR [SIZES...]
set -uo pipefail
libdir=$1
shift
sizes=${*:-1000 10000}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d /var/tmp/zvn-python-cost.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/c_cost" "$top/bench/python_cost.c" -I"$top/internal/libs/libzorvane/include" \
    -L"$libdir" -lzorvane -Wl,-rpath,"$libdir" || exit 1
cat > "$work/py_cost.py" <<'PY'
import statistics, sys, time
import zorvane
text = open(sys.argv[1]).read()
apply, counts = [], []
for _ in range(int(sys.argv[2])):
    start = time.monotonic(); zorvane.apply(text); apply.append((time.monotonic() - start) * 1e3)
    start = time.monotonic(); zorvane.counts(text); counts.append((time.monotonic() - start) * 1e3)
print(f"{statistics.median(apply):.1f} {statistics.median(counts):.1f}")
PY
row() { echo "python,$backend,$1,$2,$3"; }
for n in $sizes; do
    awk -v n="$n" 'BEGIN { srand(1); printf "["
        for (i = 0; i < n; i++) printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", 11 + int(rand() * 200), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
        printf "{\"allow\":true}]\n" }' > "$work/rules.json"
    c_apply=() c_counts=() p_apply=() p_counts=()
    for _ in 1 2 3 4 5; do
        read -r a c < <("$work/c_cost" "$work/rules.json" 15)
        c_apply+=("$a") c_counts+=("$c")
        read -r a c < <(PYTHONPATH="$top/python" ZORVANE_LIBRARY="$libdir/libzorvane.so.1" /usr/bin/python3 \
            "$work/py_cost.py" "$work/rules.json" 15)
        p_apply+=("$a") p_counts+=("$c")
    done
    median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
    ca=$(median "${c_apply[@]}") cc_=$(median "${c_counts[@]}") pa=$(median "${p_apply[@]}") pc=$(median "${p_counts[@]}")
    row "$n" c_apply_ms "$ca"; row "$n" python_apply_ms "$pa"
    row "$n" python_over_c_apply "$(awk -v a="$pa" -v b="$ca" 'BEGIN { printf "%.3f", a / b }')"
    row "$n" c_counts_ms "$cc_"; row "$n" python_counts_ms "$pc"
    row "$n" python_over_c_counts "$(awk -v a="$pc" -v b="$cc_" 'BEGIN { printf "%.3f", a / b }')"
done
