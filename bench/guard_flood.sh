#!/usr/bin/env bash
# The guard under a flood of flushes, inside "sandbox.sh nft|legacy": a
# block list of N rules (the indexed layout) in force, the guard at its
# default interval (5 s), and for SECONDS another tool that flushes ZORVANE
# again 2 s after each heal. Per size: the flushes, how many were healed
# within one interval plus one apply, the median and the longest heal, one
# apply's time, and the CPU of the guard and every program it started
# (listings, installs, xtables-monitor on nf_tables) as a share of one
# core. CSV rows on standard output, as zvn_bench prints.
# usage: sandbox.sh nft|legacy bench/guard_flood.sh ZORVANE [SECONDS] [SIZES...]
set -uo pipefail
zorvane=$1 seconds=${2:-60}
shift 2 2>/dev/null || shift
sizes=${*:-2000 10000}
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d)
guard=
trap '[ -z "$guard" ] || kill "$guard" 2>/dev/null; rm -rf "$work" /run/zorvane' EXIT
/usr/sbin/firewall.sh prepare
"$zorvane" setup >/dev/null 2>&1 || { echo "bench: setup failed" >&2; exit 1; }
row() { echo "guard,$backend,$1,$2,$3"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"; }
lines() { /sbin/iptables -S ZORVANE 2>/dev/null | grep -c '^-A'; }

for n in $sizes; do
    awk -v n="$n" 'BEGIN { srand(3); printf "["
        for (i = 0; i < n; i++)
            printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", 11 + int(rand() * 200), int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
        printf "{\"allow\":true}]\n" }' > "$work/rules.json"
    start=$(now)
    "$zorvane" apply "$work/rules.json" >/dev/null 2>&1 || { echo "bench: apply failed" >&2; exit 1; }
    apply_s=$(since "$start")
    whole=$(lines)
    "$zorvane" guard 2> "$work/guard.log" &
    guard=$!
    sleep 3
    cpu_start=$(ticks "$guard")
    monitor=$(pgrep -P "$guard" -f xtables-monitor || true)
    monitor_start=0
    [ -z "$monitor" ] || monitor_start=$(ticks "$monitor")
    flood_start=$(now)
    : > "$work/heals"
    flushes=0 missed=0
    limit=$(awk -v a="$apply_s" 'BEGIN { printf "%.2f", 5 + a }')
    while awk -v a="$flood_start" -v b="$(now)" -v s="$seconds" 'BEGIN { exit !(b - a < s) }'; do
        /sbin/iptables -F ZORVANE
        flushed=$(now)
        flushes=$((flushes + 1))
        healed=
        while awk -v a="$flushed" -v b="$(now)" 'BEGIN { exit !(b - a < 15) }'; do
            if [ "$(lines)" = "$whole" ]; then healed=$(since "$flushed"); break; fi
            sleep 0.1
        done
        if [ -z "$healed" ] || awk -v h="$healed" -v l="$limit" 'BEGIN { exit !(h > l) }'; then missed=$((missed + 1)); fi
        [ -z "$healed" ] || echo "$healed" >> "$work/heals"
        sleep 2
    done
    used=$(( $(ticks "$guard") - cpu_start ))
    # a monitor the guard started again after an overflow is counted from
    # its start; the one it began with, from the flood's
    for pid in $(pgrep -P "$guard" -f xtables-monitor || true); do
        if [ "$pid" = "$monitor" ]; then used=$(( used + $(ticks "$pid") - monitor_start )); else used=$(( used + $(ticks "$pid") )); fi
    done
    elapsed=$(since "$flood_start")
    cpu=$(awk -v t="$used" -v hz="$(getconf CLK_TCK)" -v s="$elapsed" 'BEGIN { printf "%.2f", 100 * t / hz / s }')
    kill "$guard"; wait "$guard" 2>/dev/null; guard=
    healed_count=$(wc -l < "$work/heals")
    median=$(sort -n "$work/heals" | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }')
    longest=$(sort -n "$work/heals" | tail -n 1)
    row "$n" flushes "$flushes"
    row "$n" healed "$healed_count"
    row "$n" beyond_interval_plus_apply "$missed"
    row "$n" heal_median_s "$median"
    row "$n" heal_longest_s "${longest:--}"
    row "$n" apply_s "$apply_s"
    row "$n" guard_cpu_percent "$cpu"
    echo "guard flood, $backend, $n rules: $flushes flushes, $healed_count healed, $missed beyond 5 s + one apply ($apply_s s);" \
        "heal median $median s, longest ${longest:--} s; the guard's CPU $cpu% of one core" >&2
done
