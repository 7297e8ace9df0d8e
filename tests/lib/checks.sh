# Sourced by the command's test scripts: reporting, and what no zorvane step
# may change.
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$3', got '$2'"; fi; }
has() { if grep -qF -- "$2" "$3"; then pass "$1"; else fail "$1: no '$2' in: $(head -c 600 "$3")"; fi; }

# Everything of the packet filter but zorvane's chain and its hook, without
# counters (and, on nf_tables, the table "neighbour" the tests may add).
foreign_rules() {
    local tool table
    for tool in iptables ip6tables; do
        for table in filter nat mangle; do
            "/sbin/$tool-save" -t "$table" 2>/dev/null | grep -v '^#' | sed 's/\[[0-9]*:[0-9]*\]//' |
                grep -v -- '-A ZORVANE \|-A ZORVANE-\|^:ZORVANE\|-j ZORVANE$'
        done
    done
    [ "${ZVN_SANDBOX:-}" != nft ] || nft list table inet neighbour 2>/dev/null || true
}
# until_within SECONDS 'CONDITION': whether the condition (evaluated anew
# each time) holds within the time.
until_within() {
    local limit=$1 start
    start=$(date +%s)
    until eval "$2"; do
        [ $(($(date +%s) - start)) -le "$limit" ] || return 1
        sleep 0.2
    done
}
