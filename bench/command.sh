#!/usr/bin/env bash
# The operator's command against the bare tools, inside "sandbox.sh
# nft|legacy", at a block list of N rules in the indexed layout, in turns
# (medians of REPS): "zorvane apply" against the "--test" and "-n" of the
# very restore texts it installs (both families, one after another), and
# "zorvane counts" and "zorvane status" against one "iptables-save -c" of
# the table. CSV rows on standard output, as zvn_bench prints.
# usage: sandbox.sh nft|legacy bench/command.sh ZORVANE [SIZES...]
set -uo pipefail
zorvane=$1
shift
sizes=${*:-10000 100000}
reps=${ZVN_BENCH_REPS:-5}
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/sbin/firewall.sh prepare
"$zorvane" setup >/dev/null 2>&1 || { echo "bench: setup failed" >&2; exit 1; }
row() { echo "command,$backend,$1,$2,$3"; }

# N distinct addresses dropped, then allow-all.
block_list() {
    awk -v n="$1" 'BEGIN {
        srand(2); printf "["
        for (i = 0; i < n; i++)
            printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", 11 + int(rand() * 200), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
        printf "{\"allow\":true}]\n"
    }'
}

# ms COMMAND...: the wall time of one run, in milliseconds.
ms() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || echo "bench: failed: $*" >&2
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'; }

for n in $sizes; do
    block_list "$n" > "$work/rules.json"
    "$zorvane" apply --layout indexed "$work/rules.json" >/dev/null 2>&1 || { echo "bench: apply of $n failed" >&2; exit 1; }
    "$zorvane" check --layout indexed --show "$work/rules.json" 2>/dev/null |
        awk -v dir="$work" '/^# \/sbin\/iptables-restore/ { out = dir "/four.txt"; next }
                            /^# \/sbin\/ip6tables-restore/ { out = dir "/six.txt"; next }
                            { print > out }'
    bare() {
        /sbin/iptables-restore --test "$work/four.txt" && /sbin/iptables-restore -n "$work/four.txt" &&
            /sbin/ip6tables-restore --test "$work/six.txt" && /sbin/ip6tables-restore -n "$work/six.txt"
    }
    : > "$work/apply" && : > "$work/bare" && : > "$work/counts" && : > "$work/status" && : > "$work/save"
    for _ in $(seq "$reps"); do
        ms "$zorvane" apply --layout indexed "$work/rules.json" >> "$work/apply"
        ms bare >> "$work/bare"
        ms "$zorvane" counts "$work/rules.json" >> "$work/counts"
        ms /sbin/iptables-save -c >> "$work/save"
        ms "$zorvane" status >> "$work/status"
    done
    apply=$(median < "$work/apply") bare=$(median < "$work/bare")
    counts=$(median < "$work/counts") status=$(median < "$work/status") save=$(median < "$work/save")
    row "$n" apply_ms "$apply"
    row "$n" bare_test_and_install_ms "$bare"
    row "$n" apply_over_bare "$(awk -v a="$apply" -v b="$bare" 'BEGIN { printf "%.3f", a / b }')"
    row "$n" counts_ms "$counts"
    row "$n" status_ms "$status"
    row "$n" save_ms "$save"
    row "$n" counts_over_save "$(awk -v a="$counts" -v b="$save" 'BEGIN { printf "%.3f", a / b }')"
    row "$n" status_over_save "$(awk -v a="$status" -v b="$save" 'BEGIN { printf "%.3f", a / b }')"
done
