#!/usr/bin/env bash
# The guard's cost at 10,000 rules, inside the sandbox (nft or legacy): the
# CPU time of the guard and of every program it started (its listings, and
# xtables-monitor on nf_tables) over 60 s at the default interval, as a
# share of one core.
# usage: sandbox.sh nft|legacy bench/guard_cpu.sh ZORVANE [SECONDS]
set -euo pipefail
zorvane=$1 seconds=${2:-60}
work=$(mktemp -d)
trap 'kill "$guard" 2>/dev/null; rm -rf "$work" /run/zorvane' EXIT
awk 'BEGIN { printf "["; for (i = 0; i < 10000; i++)
        printf "{\"interface\":\"eth%d\",\"src_IP_cidr\":\"%s\",\"protocol\":\"tcp\",\"dports_list\":[\"%d\"],\"allow\":%s},",
            i % 4, (i % 3 == 1) ? sprintf("2001:db8:%x::/48", i) : sprintf("10.%d.%d.0/24", int(i / 250) % 250, i % 250),
            1000 + i, (i % 3 == 2) ? "false" : "true"
        printf "{\"allow\":true}]" }' > "$work/rules.json"
"$zorvane" setup 2>/dev/null
"$zorvane" apply "$work/rules.json" 2>/dev/null
ticks() { # PID: user + system + reaped children, in clock ticks
    awk '{ print $14 + $15 + $16 + $17 }' "/proc/$1/stat"
}
own_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
"$zorvane" guard 2>/dev/null &
guard=$!
sleep 8  # its first look, the monitor started
start=$(ticks "$guard") own_start=$(own_ticks "$guard")
monitor_start=0
monitor=$(pgrep -P "$guard" -f xtables-monitor || true)
[ -z "$monitor" ] || monitor_start=$(ticks "$monitor")
sleep "$seconds"
used=$(( $(ticks "$guard") - start )) own=$(( $(own_ticks "$guard") - own_start ))
[ -z "$monitor" ] || used=$(( used + $(ticks "$monitor") - monitor_start ))
hz=$(getconf CLK_TCK)
awk -v t="$used" -v o="$own" -v hz="$hz" -v s="$seconds" -v b="$(/sbin/iptables -V)" \
    'BEGIN { printf "guard at 10,000 rules, %s: %.2f%% of one core over %d s (%.2f%% in the guard itself)\n",
             b, 100 * t / hz / s, s, 100 * o / hz / s }'
