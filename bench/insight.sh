#!/usr/bin/env bash
# What top, log and kept counts cost, inside "sandbox.sh nft|legacy": one
# refresh of "zorvane top --once" (two snapshot reads) at 10,000 and 100,000
# rules against one "iptables-save -c" of the table, an apply that keeps
# the counts against one with --reset-counts, and the CPU of 30 s of the
# live table; "zorvane log --summary" over a drop log of 1,000,000
# lines (time and peak memory). CSV rows on standard output.
# usage: sandbox.sh nft|legacy bench/insight.sh ZORVANE [SIZES...]
set -uo pipefail
zorvane=$1
shift
sizes=${*:-10000 100000}
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d /var/tmp/zvn-insight.XXXXXX)
trap 'rm -rf "$work"' EXIT
row() { echo "insight,$backend,$1,$2,$3"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ms_of() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); echo $(((e - s) / 1000000)); }
"$zorvane" --ipv4-only setup >/dev/null 2>&1
for n in $sizes; do
    awk -v n="$n" 'BEGIN { srand(1); printf "["
        for (i = 0; i < n; i++) printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", 11 + int(rand() * 200), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
        printf "{\"allow\":true}]\n" }' > "$work/rules.json"
    "$zorvane" --ipv4-only apply "$work/rules.json" >/dev/null 2>&1
    save=() read=()
    for _ in 1 2 3; do
        save+=("$(ms_of /sbin/iptables-save -c -t filter)")
        # one refresh: a snapshot read and its proof (--interval 0.1 less the wait)
        t=$(ms_of "$zorvane" --ipv4-only top --once --json --interval 0.1 "$work/rules.json")
        read+=("$(( (t - 100) / 2 ))")
    done
    row "$n" iptables_save_ms "$(median "${save[@]}")"
    row "$n" top_refresh_ms "$(median "${read[@]}")"
    row "$n" top_refresh_over_save "$(awk -v a="$(median "${read[@]}")" -v b="$(median "${save[@]}")" 'BEGIN { printf "%.2f", a / b }')"
    # An apply that keeps every rule's counts against one that zeroes them,
    # in turns, of the same set over itself.
    kept=() plain=()
    for _ in 1 2 3; do
        plain+=("$(ms_of "$zorvane" --ipv4-only apply --reset-counts "$work/rules.json")")
        kept+=("$(ms_of "$zorvane" --ipv4-only apply "$work/rules.json")")
    done
    row "$n" apply_reset_counts_ms "$(median "${plain[@]}")"
    row "$n" apply_keeping_counts_ms "$(median "${kept[@]}")"
    row "$n" keeping_over_reset "$(awk -v a="$(median "${kept[@]}")" -v b="$(median "${plain[@]}")" 'BEGIN { printf "%.3f", a / b }')"
done
# CPU of the live table at the first size, in a pseudo-terminal for 30 s
# (its own time and its listings', from /proc).
n=${sizes%% *}
awk -v n="$n" 'BEGIN { srand(1); printf "["
    for (i = 0; i < n; i++) printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", 11 + int(rand() * 200), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
    printf "{\"allow\":true}]\n" }' > "$work/rules.json"
"$zorvane" --ipv4-only apply "$work/rules.json" >/dev/null 2>&1
clk=$(getconf CLK_TCK)
script -qfec "$zorvane --ipv4-only top $work/rules.json" /dev/null >/dev/null 2>&1 &
runner=$!
sleep 3
pid=$(pgrep -f -- "--ipv4-only top $work/rules.json" | while read -r p; do
    [ "$(cat /proc/$p/comm 2>/dev/null)" = zorvane ] && echo "$p"; done | head -n 1)
ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$pid/stat"; }
first=$(ticks)
sleep 30
last=$(ticks)
kill "$pid" "$runner" 2>/dev/null; wait 2>/dev/null
row "$n" top_cpu_percent "$(awk -v t=$((last - first)) -v c="$clk" 'BEGIN { printf "%.1f", t / c / 30 * 100 }')"

# log --summary over a million lines of 1,000 rules and 50,000 sources.
awk 'BEGIN { srand(2); for (i = 0; i < 1000000; i++) {
        r = 1 + int(rand() * rand() * 1000); s = int(rand() * 50000)
        printf "Dec 11 12:%02d:%02d host RULE=%d ACT=DROP IN=eth3 OUT= MAC=00:00:00:00:00:00 SRC=10.%d.%d.%d DST=10.0.3.254 LEN=84 TOS=00 PREC=0x00 TTL=64 ID=1 DF PROTO=TCP SPT=%d DPT=22 SEQ=0 ACK=0 WINDOW=64240 SYN URGP=0 MARK=0\n", int(i / 60000) % 60, int(i / 1000) % 60, r, int(s / 65536), int(s / 256) % 256, s % 256, 1024 + i % 60000 } }' > "$work/drops.log"
row 1000000 log_lines "$(wc -l < "$work/drops.log")"
/usr/bin/time -f "%e %M" -o "$work/time" "$zorvane" log --summary --file "$work/drops.log" >/dev/null 2>&1
row 1000000 log_summary_seconds "$(cut -d' ' -f1 "$work/time")"
row 1000000 log_summary_peak_kib "$(cut -d' ' -f2 "$work/time")"
