#!/usr/bin/env bash
# Crash safety of the saved rule set: "zorvane apply --save" is killed at
# every call of each kind it makes (strace's fault injection), one run per
# call, and each time the saved file must be the old rule set or the new
# one, complete. Runs inside "sandbox.sh fake" with /etc as an overlay.
# usage: save_crash.sh ZORVANE
set -uo pipefail
zorvane=$1
[ "${ZVN_SANDBOX:-}" = fake ] || { echo "run me through sandbox.sh fake"; exit 2; }
command -v strace >/dev/null || { echo "strace missing (apt-get install strace)"; exit 1; }
# LeakSanitizer cannot run under ptrace; leaks are checked by the other
# suites of a sanitized build, where nothing traces the process.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
saved=/etc/zorvane/rules.json
work=$(mktemp -d)
trap 'rm -rf "$work" /etc/zorvane' EXIT
# The fakes answer as a prepared host: the chain exists and INPUT reaches it.
for list in list-S-INPUT list6-S-INPUT; do
    printf -- '-P INPUT ACCEPT\n-A INPUT -m state --state NEW -j ZORVANE\n' > "$ZVN_FAKE_DIR/plan/$list.out"
done

echo '[{"allow":true}]' > "$work/old.json"
# A new rule set without findings (nothing to print), of some size.
awk 'BEGIN { printf "["; for (i = 0; i < 3000; i++) printf "{\"interface\":\"eth%d\",\"allow\":true},", i; printf "{\"allow\":false}]\n" }' > "$work/new.json"

failures=0 runs=0 killed=0
for call in mkdir openat write fchmod fsync close rename unlink; do
    for n in $(seq 1 400); do
        rm -rf /etc/zorvane
        if [ $((n % 2)) = 0 ]; then mkdir -p /etc/zorvane && cp "$work/old.json" "$saved"; fi
        (strace -qq -o /dev/null -e trace="$call" -e inject="$call:signal=KILL:when=$n" \
            "$zorvane" apply --save "$work/new.json") >/dev/null 2>&1
        status=$?
        runs=$((runs + 1))
        if [ -e "$saved" ] && ! cmp -s "$saved" "$work/old.json" && ! cmp -s "$saved" "$work/new.json"; then
            echo "FAIL: killed at $call #$n: the saved file is neither the old nor the new rule set"
            failures=$((failures + 1))
        fi
        [ "$status" = 137 ] || break  # the command made fewer such calls: it ran to its end
        killed=$((killed + 1))
    done
    [ "$status" = 0 ] && cmp -s "$saved" "$work/new.json" || { echo "FAIL: an undisturbed run after $call did not save"; failures=$((failures + 1)); }
done
echo "runs: $runs, killed: $killed; every saved file was the old or the new rule set, whole: $([ $failures = 0 ] && echo yes || echo no)"
[ "$failures" = 0 ]
