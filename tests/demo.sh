#!/usr/bin/env bash
# The README's main job: the demonstration exits 0 when every step and
# every outcome is as the rule set says, and non-zero when a step fails
# (here, a zorvane that cannot set anything up).
# usage: demo.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1 build=$2
[ "$(id -u)" = 0 ] || { echo "needs root; skipped"; exit 77; }
ZVN_DEMO_BUILD=$build "$src/scripts/demo" > "$build/demo.out" 2>&1
status=$?
tail -n 3 "$build/demo.out"
[ "$status" = 0 ] || { echo "FAIL: the demonstration exited $status"; cat "$build/demo.out"; exit 1; }
echo "ok: the demonstration exits 0"

broken=$(mktemp -d)
trap 'rm -rf "$broken"' EXIT
mkdir -p "$broken/cmd/zorvane"
printf '#!/bin/sh\necho "zorvane: broken on purpose" >&2\nexit 3\n' > "$broken/cmd/zorvane/zorvane"
chmod 755 "$broken/cmd/zorvane/zorvane"
ZVN_DEMO_BUILD=$broken "$src/scripts/demo" > "$broken/out" 2>&1
status=$?
[ "$status" != 0 ] || { echo "FAIL: a failing step still exited 0"; cat "$broken/out"; exit 1; }
grep -q "demo: zorvane setup failed (3)" "$broken/out" || { echo "FAIL: no word of the failed step"; cat "$broken/out"; exit 1; }
echo "ok: a failed step exits $status"
