#!/usr/bin/env bash
# Runs the benchmark, as root, inside throwaway sandboxes (never the host's
# packet filter): builds bench/zvn_bench (Release), then
#   1. apply:  the library against the bare tools, real iptables (nf_tables)
#   2. own:    the library's own time and memory, with tools that return at once
#   3. counts: both count operations against one listing, on both back ends
#   4. check:  the check of a rule set against its test run, both back ends
#   5. apply6: both families (IPv6 on) against the bare tools, nf_tables
#   6. layout: a block list's indexed apply against its flat one, both back
#      ends; the indexed layout's figures, and a hostile mix's
#   7. rate:   NEW packets per second behind block lists, indexed, flat and
#      an nft set of the same addresses, both back ends (packet_path.sh);
#      and the lines a drop flood logs against a log limit
#   8. command: "zorvane apply", "counts" and "status" against the bare
#      tools at the same block list, both back ends (command.sh)
#   9. guard:  heal times and the guard's CPU under a minute of flushes of
#      ZORVANE at 2,000 and 10,000 rules, both back ends (guard_flood.sh)
#  10. countries: the sample set with the packaged country database, the
#      sets' load against a bare ipset restore, NEW packets behind a US
#      rule, its set's memory against plain rules (countries.sh)
#  11. python: the Python package's apply and counts against the same calls
#      from C, at 1,000 and 10,000 rules, both back ends (python_cost.sh)
#  12. insight: top's refresh against one iptables-save -c at 10,000 and
#      100,000 rules, its CPU, log --summary over 1,000,000 lines (insight.sh)
# and writes bench/results/latest.csv, bench/results/latest.txt (the table,
# with the machine it ran on), bench/results/apply.png and rate.png (gnuplot).
# usage: bench/run.sh [--quick]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build-bench
out=$top/bench/results
sandbox=$top/tests/sandbox/sandbox.sh
[ "$(id -u)" = 0 ] || { echo "bench: needs root (namespaces)"; exit 1; }
"$top/scripts/install-deps"
command -v gnuplot >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gnuplot-nox >/dev/null
[ -x /usr/bin/time ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null

apply_sizes="100 1000 5000" own_sizes="10000 100000" count_sizes="100 1000 5000"
check_sizes="10000 100000" apply6_sizes="1000 5000" layout_sizes="10000 100000" rate_sizes="1000 10000 100000"
command_sizes="10000 100000" flood_sizes="2000 10000" flood_seconds=60
if [ "${1:-}" = --quick ]; then
    apply_sizes="100 1000" own_sizes="10000" count_sizes="100 1000" check_sizes="10000" apply6_sizes="1000"
    layout_sizes="10000" rate_sizes="1000 10000" command_sizes="10000" flood_sizes="2000" flood_seconds=20
fi

cmake -S "$top" -B "$build" -DZORVANE_BUILD_BENCH=ON -DZORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target zvn_bench packets zorvane_cmd >/dev/null
bench=$build/bench/zvn_bench
mkdir -p "$out"
csv=$out/latest.csv
echo "section,backend,rules,metric,value" > "$csv"
ZVN_REQUIRE_SANDBOX=1 "$sandbox" nft "$bench" apply $apply_sizes >> "$csv"
ZVN_REQUIRE_SANDBOX=1 "$sandbox" fake "$bench" own $own_sizes >> "$csv"
for backend in nft legacy; do
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$bench" counts $count_sizes >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$bench" check $check_sizes >> "$csv"
done
ZVN_REQUIRE_SANDBOX=1 "$sandbox" nft "$bench" apply6 $apply6_sizes >> "$csv"
command -v nft >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nftables >/dev/null
for backend in nft legacy; do
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$bench" layout $layout_sizes >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/packet_path.sh" "$build/cmd/zorvane/zorvane" \
        "$build/bench/packets" "$top/deploy/ulogd-zorvane.conf" $rate_sizes >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/command.sh" "$build/cmd/zorvane/zorvane" $command_sizes >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/guard_flood.sh" "$build/cmd/zorvane/zorvane" \
        "$flood_seconds" $flood_sizes >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/countries.sh" "$build/cmd/zorvane/zorvane" \
        "$build/bench/packets" >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/python_cost.sh" "$build" >> "$csv"
    ZVN_REQUIRE_SANDBOX=1 "$sandbox" "$backend" "$top/bench/insight.sh" "$build/cmd/zorvane/zorvane" >> "$csv"
done

{
    echo "zorvane benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -r), $(/usr/sbin/xtables-nft-multi iptables -V)"
    echo "times: medians of interleaved repetitions, ms"
    echo
    awk -F, 'NR > 1 { key = $1 "," $2 "," $3; if (!(key in seen)) { order[++n] = key; seen[key] = 1 } v[key "," $4] = $5 }
        END {
            printf "%-7s %-8s %7s  %s\n", "section", "backend", "rules", "measures"
            for (i = 1; i <= n; i++) {
                split(order[i], k, ",")
                line = ""
                for (m in v) { split(m, p, ","); if (p[1] "," p[2] "," p[3] == order[i]) line = line sprintf("%s=%s  ", p[4], v[m]) }
                printf "%-7s %-8s %7s  %s\n", k[1], k[2], k[3], line
            }
        }' "$csv"
} > "$out/latest.txt"
cat "$out/latest.txt"

# plot PNG TITLE XLABEL YLABEL KEY PLOT: a log-log chart of the results.
plot() {
    gnuplot <<PLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$out/$1"
set title "$2"
set xlabel "$3"
set ylabel "$4"
set logscale xy
set key $5
set grid
$6
PLOT
}
series() { # NAME SECTION BACKEND METRIC: one metric's rows as "rules value"
    awk -F, -v s="$2" -v b="$3" -v m="$4" '$1 == s && (b == "" || $2 == b) && $4 == m { print $3, $5 }' "$csv" > "$build/$1.dat"
}
series apply_library apply "" library_ms
series apply_bare apply "" bare_tools_ms
series snapshot_nft counts nft snapshot_op_ms
series per_rule_nft counts nft per_rule_op_ms
plot apply.png 'zorvane: time against rule count (nf\\_tables back end)' rules "time, ms (median)" "top left" \
    "plot '$build/apply_library.dat' with linespoints lw 2 title 'zvn\\_apply\\_rules\\_json', \\
     '$build/apply_bare.dat' with linespoints lw 2 title 'bare tools (restore --test, restore -n, empty log)', \\
     '$build/snapshot_nft.dat' with linespoints lw 2 title 'zvn\\_get\\_rule\\_count\\_snapshot\\_json', \\
     '$build/per_rule_nft.dat' with linespoints lw 2 title 'zvn\\_get\\_rule\\_count\\_json'"
for kind in indexed flat nft_set; do
    series "rate_$kind" rate nft "full_leaf_${kind}_pps"
done
plot rate.png 'zorvane: new connections a second behind a block list (nf\\_tables back end)' "block rules" \
    "NEW packets accepted per second (median of 3)" "bottom left" \
    "set xrange [500:200000]
plot '$build/rate_indexed.dat' with linespoints lw 2 title 'indexed layout', \\
     '$build/rate_nft_set.dat' with linespoints lw 2 title 'one nft set of the same addresses', \\
     '$build/rate_flat.dat' with linespoints lw 2 title 'flat layout'"
echo "wrote $csv, $out/latest.txt, $out/apply.png and $out/rate.png"
