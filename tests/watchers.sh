#!/usr/bin/env bash
# What runs unattended never leaves the host open, on the real tools,
# inside "sandbox.sh nft|legacy" with /etc as a throwaway overlay: the
# guard after a boot that refused the saved set, the confirm watcher when
# the lock is busy past its deadline or the watcher is killed or /run is
# wiped under it, a flood of flushes, records planted under /run, a flush
# of the whole filter table on a host whose policy drops, a hook removed
# beside another tool's jumps, a second hook, a library client's apply, a
# set the tool rewrites, reload with the saved options, and what status
# says of each.
# usage: watchers.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
mode=$ZVN_SANDBOX
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
guard= holder=
cleanup() {
    for pid in $guard $holder; do kill "$pid" 2>/dev/null; done
    pkill -f "zorvane apply --confirm" 2>/dev/null
    netlab_cleanup
    rm -rf "$work" /run/zorvane /etc/zorvane /var/lib/zorvane
}
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
pings() { ping_from peer3 10.0.3.5 "${1:-1}" 10.0.3.254; }
lines() { /sbin/iptables -S ZORVANE 2>/dev/null | grep -c '^-A'; }
hooks() { /sbin/iptables -S INPUT | grep -c -- '-j ZORVANE$'; }
start_guard() {
    "$zorvane" guard --interval "${1:-1}" 2>> "$work/guard.log" &
    guard=$!
}
stop_guard() { [ -z "$guard" ] || { kill "$guard"; wait "$guard" 2>/dev/null; guard=; }; }
# A reboot as the host sees it: the filter tables empty, /run empty.
reboot() {
    stop_guard
    for tool in /sbin/iptables /sbin/ip6tables; do
        "$tool" -P INPUT ACCEPT; "$tool" -F; "$tool" -X
    done
    rm -rf /run/zorvane /run/zorvane.lock
}
status_says() { # WORDS: status exits 3 and says so
    "$zorvane" status > "$work/status" 2>&1
    local status=$?
    if [ "$status" = 3 ] && grep -qF -- "$1" "$work/status"; then pass "status: $1"; else
        fail "status exit $status, wanted 3 and '$1': $(cat "$work/status")"; fi
}

echo "== $(/sbin/iptables -V)"
netlab_up || exit 1
ssh_only='[{"protocol":"tcp","dports_list":["22"],"allow":true},{"allow":false}]'
echo "$ssh_only" > "$work/ssh.json"
echo '[{"allow":true}]' > "$work/open.json"
"$zorvane" setup 2>/dev/null || fail "setup"

# --- a boot that refuses the saved set: the guard keeps what restore put in force ------------------
"$zorvane" apply --save "$work/ssh.json" 2>/dev/null || fail "apply --save"
# The saved file edited into a set the check refuses (a repeated key), not forced.
echo '[{"protocol":"tcp","protocol":"udp","dports_list":["22"],"allow":true},{"allow":true}]' > /etc/zorvane/rules.json
reboot
"$zorvane" restore 2> "$work/restore.err"
expect_eq "restore of a refused saved set exits" "$?" 3
expect_eq "the last good set is in force: pings dropped" "$(pings 1)" 0
start_guard 1
sleep 3
expect_eq "the guard keeps it: pings still dropped" "$(pings 1)" 0
/sbin/iptables -S ZORVANE | grep -q -- '^-A ZORVANE ! -i lo -j ACCEPT$' && fail "an accept-all went in: $(/sbin/iptables -S ZORVANE)" ||
    pass "nothing of the refused set went in"
/sbin/iptables -F ZORVANE
until_within 5 '[ "$(lines)" -gt 0 ]' && pass "a flush is healed with the last good set" || fail "not healed"
expect_eq "and pings are dropped again" "$(pings 1)" 0
status_says "in force since the boot: the last good set, because the saved rule set"
echo "$ssh_only" > /etc/zorvane/rules.json
"$zorvane" apply --save "$work/ssh.json" 2>/dev/null
"$zorvane" status > /dev/null 2>&1
expect_eq "an apply of the saved set makes status whole again" "$?" 0

# --- the fail-safe set after a boot: status says so ------------------------------------------------
rm -f /var/lib/zorvane/last-good.ipv4 /var/lib/zorvane/last-good.ipv6
echo 'garbage' > /etc/zorvane/rules.json
reboot
"$zorvane" restore 2>/dev/null
expect_eq "restore with neither the saved nor a last good set exits" "$?" 3
status_says "in force since the boot: the fail-safe set"
start_guard 1
/sbin/iptables -F ZORVANE
until_within 5 '/sbin/iptables -S ZORVANE | grep -q FAILSAFE' && pass "the guard heals the fail-safe set" ||
    fail "fail-safe set not healed: $(/sbin/iptables -S ZORVANE)"
stop_guard
echo "$ssh_only" > /etc/zorvane/rules.json
"$zorvane" apply --save "$work/ssh.json" 2>/dev/null

# --- the confirm watcher waits for the lock as long as it takes ------------------------------------
"$zorvane" apply --confirm 3 "$work/open.json" < /dev/null > /dev/null 2> "$work/confirm.err" &
applier=$!
until_within 5 '[ "$(pings 1)" = 1 ]' || fail "the change did not go in"
# Another operation holds the lock past the deadline, longer than a lock
# wait lasts (30 s).
flock /run/zorvane.lock sleep 34 &
holder=$!
sleep 8
expect_eq "past the deadline, the lock held: the change still waits" "$(pings 1)" 1
kill -0 "$applier" 2>/dev/null && pass "the applier still waits for the outcome" || fail "the applier ended unsettled"
wait "$holder"; holder=
until_within 6 '[ "$(pings 1)" = 0 ]' && pass "rolled back as soon as the lock was free" ||
    fail "not rolled back after the lock was free"
wait "$applier"
expect_eq "the applier ends with the outcome" "$?" 1
grep -q "rolled back (no confirmation in time)" "$work/confirm.err" && pass "and says it was rolled back" ||
    fail "applier: $(cat "$work/confirm.err")"
grep -q "another operation holds the lock" "$work/confirm.err" && pass "the watcher said it waited for the lock" ||
    fail "watcher: $(cat "$work/confirm.err")"

# --- a watcher killed: the applier settles the change itself ---------------------------------------
"$zorvane" apply --confirm 60 "$work/open.json" < /dev/null > /dev/null 2> "$work/confirm.err" &
applier=$!
until_within 5 '[ -f /run/zorvane/pending/change ]' || fail "not armed"
until_within 5 '[ "$(pings 1)" = 1 ]' || fail "the change did not go in"
kill -KILL "$(cat /run/zorvane/pending/watcher)"
until_within 10 '[ "$(pings 1)" = 0 ]' && pass "a killed watcher's change is rolled back by its applier" ||
    fail "a killed watcher left the change in force"
wait "$applier"
expect_eq "and the applier ends with the outcome" "$?" 1

# --- applier and watcher killed: the guard settles it -----------------------------------------------
start_guard 1
"$zorvane" apply --confirm 60 "$work/open.json" < /dev/null > /dev/null 2>&1 &
applier=$!
until_within 5 '[ -f /run/zorvane/pending/change ]' || fail "not armed"
until_within 5 '[ "$(pings 1)" = 1 ]' || fail "the change did not go in"
kill -KILL "$applier" "$(cat /run/zorvane/pending/watcher)"
wait "$applier" 2>/dev/null
until_within 10 '[ "$(pings 1)" = 0 ]' && pass "the guard rolls back a change whose watcher is gone" ||
    fail "the guard left an orphaned change in force"
grep -q "its watcher is gone" "$work/guard.log" && pass "and says so" || fail "guard: $(cat "$work/guard.log")"
stop_guard

# --- /run wiped under a waiting change: the watcher rolls back from memory -----------------------
"$zorvane" apply --confirm 3 "$work/open.json" < /dev/null > /dev/null 2>&1 &
applier=$!
until_within 5 '[ -f /run/zorvane/pending/change ]' || fail "not armed"
until_within 5 '[ "$(pings 1)" = 1 ]' || fail "the change did not go in"
rm -rf /run/zorvane
wait "$applier"
until_within 5 '[ "$(pings 1)" = 0 ]' && pass "a change whose /run was wiped is rolled back at its deadline" ||
    fail "/run wiped: the change stayed: $(/sbin/iptables -S ZORVANE)"

# --- records planted under /run are never followed ------------------------------------------------
"$zorvane" apply "$work/open.json" 2>/dev/null
cp /run/zorvane/installed "$work/open.record"
"$zorvane" apply "$work/ssh.json" 2>/dev/null
start_guard 1
sleep 2
for planting in fifo link garbage; do
    rm -f /run/zorvane/installed
    case $planting in
    fifo) mkfifo /run/zorvane/installed ;;
    link) ln -s "$work/open.record" /run/zorvane/installed ;;
    garbage) head -c 300 /dev/urandom > /run/zorvane/installed ;;
    esac
    /sbin/iptables -F ZORVANE
    until_within 5 '[ "$(lines)" -gt 0 ]' && pass "record as $planting: the chain is healed all the same" ||
        fail "record as $planting: not healed"
    expect_eq "record as $planting: with the set installed, pings dropped" "$(pings 1)" 0
    timeout 20 "$zorvane" reset 2>/dev/null
    expect_eq "record as $planting: the lock is not held for long (reset runs)" "$?" 0
done
grep -q "is a FIFO, not a record" "$work/guard.log" && pass "the guard reports the FIFO" || fail "no word of the FIFO"
grep -q "symbolic link" "$work/guard.log" && pass "the guard reports the link" || fail "no word of the link"
rm -f /run/zorvane/installed
"$zorvane" apply "$work/ssh.json" 2>/dev/null

# --- the whole filter table flushed on a host whose policy drops ------------------------------------
/sbin/iptables -P INPUT DROP
ip netns exec peer3 nc -l -k 7777 > /dev/null 2>&1 &
netlab_pids+=("$!")
sleep 2
/sbin/iptables -F
until_within 5 '[ "$(hooks)" = 1 ]' || fail "the hook did not come back"
sleep 1
expect_eq "the preparation's lines are back" \
    "$(/sbin/iptables -S INPUT | grep -c -- '-i lo -j ACCEPT$\|--state RELATED,ESTABLISHED -j ACCEPT$')" 2
expect_eq "pings from outside the set's allows stay dropped" "$(pings 1)" 0
timeout 5 nc -z -w 3 10.0.3.5 7777 && pass "a TCP session from the host completes (replies pass)" ||
    fail "no session completes: $(/sbin/iptables -S INPUT)"
/sbin/iptables -P INPUT ACCEPT

# --- a hook removed beside another tool's jumps returns to its place; a second one goes ----------
/sbin/iptables -N ufw-user-input
/sbin/iptables -A ufw-user-input -p icmp -j ACCEPT
/sbin/iptables -A INPUT -j ufw-user-input
sleep 2
hook_before_jump() { /sbin/iptables -S INPUT | grep -- '-j ZORVANE$\|-j ufw-user-input$' | head -n 1 | grep -q ZORVANE; }
hook_before_jump && pass "the hook stands ahead of the other tool's jump" || fail "INPUT: $(/sbin/iptables -S INPUT)"
/sbin/iptables -D INPUT -m state --state NEW -j ZORVANE
until_within 5 '[ "$(hooks)" = 1 ]' || fail "the hook did not come back"
hook_before_jump && pass "it comes back ahead of the jump, where it stood" || fail "INPUT: $(/sbin/iptables -S INPUT)"
expect_eq "so the set still drops what the other tool would accept" "$(pings 1)" 0
/sbin/iptables -A INPUT -m state --state NEW -j ZORVANE   # a restore without --noflush's second hook
until_within 5 '[ "$(hooks)" = 1 ]' && pass "a second hook is taken away" ||
    fail "two hooks stay: $(/sbin/iptables -S INPUT)"
/sbin/iptables -D INPUT -j ufw-user-input; /sbin/iptables -F ufw-user-input; /sbin/iptables -X ufw-user-input

# --- a library client's apply is guarded, never reverted -------------------------------------------
echo '[{"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]' > "$work/client.json"
cat > "$work/client.c" <<'EOF'
#include <libzorvane.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char **argv)
{
    FILE *in = fopen(argv[1], "r");
    static char text[1 << 16];
    size_t n = fread(text, 1, sizeof text - 1, in);
    text[n] = 0;
    zvn_enable_ipv6();
    return zvn_apply_rules_json(text) == 0 ? 0 : 1;
}
EOF
# a library built with the sanitizers needs a client built with them too
lib_so="$(dirname "$zorvane")/../../libzorvane.so.1"
client_flags=()
ldd "$lib_so" 2>/dev/null | grep -q libasan && client_flags=(-fsanitize=address,undefined)
if cc "${client_flags[@]}" -o "$work/client" "$work/client.c" -I"$src/internal/libs/libzorvane/include" \
    -L"$(dirname "$zorvane")/../.." -lzorvane -Wl,-rpath,"$(dirname "$zorvane")/../.." 2> "$work/cc.err"; then
    "$work/client" "$work/client.json" || fail "the client's apply"
    sleep 3
    expect_eq "a library client's apply stays: ping on eth3 dropped" "$(pings 1)" 0
    /sbin/iptables -S ZORVANE | grep -q -- '--dports 22' && fail "the guard put the command's set back" ||
        pass "the guard did not put the command's last set back"
else
    fail "the client did not build: $(cat "$work/cc.err")"
fi

# --- a forced value the tool rewrites settles -------------------------------------------------------
echo '[{"protocol":"tcp","dports_list":["ssh"],"allow":true},{"allow":false}]' > "$work/named.json"
"$zorvane" apply --force "$work/named.json" 2>/dev/null || fail "apply --force of a named port"
repairs_before=$(grep -c "^zorvane guard: IPv" "$work/guard.log")
sleep 4
expect_eq "the guard does not repair a rewritten port again and again" \
    "$(grep -c "^zorvane guard: IPv" "$work/guard.log")" "$repairs_before"
"$zorvane" status > "$work/status" 2>&1
expect_eq "status of the set as the kernel took it exits" "$?" 0
stop_guard

# --- reload applies the saved set with its saved options; the guard heals with them ----------------
awk 'BEGIN { printf "["; for (i = 0; i < 40; i++) printf "{\"src_IP_cidr\":\"10.9.%d.1\",\"allow\":false},", i
             printf "{\"interface\":\"eth3\",\"protocol\":\"icmp\",\"allow\":false},{\"allow\":true}]" }' > "$work/forty.json"
"$zorvane" apply --save --layout flat --log-limit 5 "$work/forty.json" 2>/dev/null || fail "apply --save with options"
"$zorvane" apply "$work/open.json" 2>/dev/null
"$zorvane" reload 2>/dev/null
expect_eq "reload exits" "$?" 0
/sbin/iptables -S | grep -q '^-N ZORVANE-1' && fail "reload installed the indexed layout" ||
    pass "reload keeps the saved flat layout"
[ "$(/sbin/iptables -S ZORVANE | grep -c -- '--limit 5/sec')" -gt 0 ] && pass "and the saved log limit" ||
    fail "reload dropped the log limit"
start_guard 1
/sbin/iptables -F ZORVANE
until_within 5 '[ "$(lines)" -gt 0 ]' || fail "not healed after reload"
[ "$(/sbin/iptables -S ZORVANE | grep -c -- '--limit 5/sec')" -gt 0 ] && pass "the guard heals with the limit" ||
    fail "the guard healed without the limit"
stop_guard
grep -q '^ExecReload=/usr/sbin/zorvane reload$' "$src/deploy/zorvane.service" && pass "the unit reloads so" ||
    fail "ExecReload: $(grep ExecReload "$src/deploy/zorvane.service")"
echo '[{"allow":true},{"allow":true,"allow":false}]' > /etc/zorvane/rules.json
"$zorvane" reload 2>/dev/null
expect_eq "a reload of a refused saved set exits" "$?" 1
[ "$(/sbin/iptables -S ZORVANE | grep -c -- '--limit 5/sec')" -gt 0 ] && pass "and changes nothing" ||
    fail "a refused reload changed the chain"

# --- what status tells ------------------------------------------------------------------------------
"$zorvane" status > "$work/status" 2>&1
grep -q "note: the saved rule set /etc/zorvane/rules.json (with its options) is not the one in force\|cannot be restored as it is" \
    "$work/status" && pass "status: the saved set differs from the one in force" || fail "status: $(cat "$work/status")"
"$zorvane" guard --pause 2>/dev/null
"$zorvane" status > "$work/status" 2>&1
grep -q "the guard is paused" "$work/status" && pass "status: the guard is paused" || fail "status: $(cat "$work/status")"
"$zorvane" guard --resume 2>/dev/null
/sbin/iptables -N DOCKER-USER
"$zorvane" status > "$work/status" 2>&1
grep -q "DOCKER-USER stands: ports a container engine publishes are reached through FORWARD" "$work/status" &&
    pass "status: published container ports" || fail "status: $(cat "$work/status")"
/sbin/iptables -X DOCKER-USER
"$zorvane" apply --confirm 30 "$work/ssh.json" < /dev/null > /dev/null 2>&1 &
applier=$!
until_within 5 '[ -f /run/zorvane/pending/change ]' || fail "not armed"
sleep 1
"$zorvane" status > "$work/status" 2>&1
grep -q "note: a change awaits confirmation until" "$work/status" && pass "status: a change awaits confirmation" ||
    fail "status: $(cat "$work/status")"
"$zorvane" confirm 2>/dev/null
wait "$applier"

# --- the options take plain decimal ----------------------------------------------------------------
"$zorvane" apply --log-limit 010 "$work/forty.json" 2>/dev/null
[ "$(/sbin/iptables -S | grep -c -- '--limit 10/sec')" -gt 0 ] && pass "--log-limit 010 is 10 a second" ||
    fail "--log-limit 010: $(/sbin/iptables -S | grep -m1 limit)"
for value in 0x10 ' 7' +7 -1; do
    "$zorvane" apply --log-limit "$value" "$work/forty.json" 2>/dev/null
    expect_eq "--log-limit '$value' is refused" "$?" 2
done

echo "== $failures failure(s) ($mode)"
[ "$failures" = 0 ]
