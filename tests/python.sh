#!/usr/bin/env bash
# The Python package: its unit tests, then on the real tools inside
# "sandbox.sh nft|legacy" (a private network namespace and the peer
# namespace peer3 for packets), imported from the source tree with the
# build's library.
# usage: python.sh LIBRARY SOURCE_DIR
set -uo pipefail
library=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
python=/usr/bin/python3
"$python" -c 'import pytest' 2>/dev/null || { echo "python3-pytest is not installed"; exit 77; }
source "$src/scripts/lib/netlab.sh"
trap netlab_cleanup EXIT
netlab_up || exit 1
cd "$src/python" || exit 1
ZORVANE_LIBRARY=$library ZVN_PY_REAL=1 "$python" -m pytest -q -p no:cacheprovider tests
status=$?
# The manual's example, whole: checked, applied, its counts as a textfile.
out=$(mktemp -d)
PYTHONPATH="$src/python" ZORVANE_LIBRARY=$library "$python" "$src/doc/python-example.py" --textfile "$out" ||
    { echo "FAIL: the example"; status=1; }
grep -q '^zorvane_rule_packets_total{rule="1",verdict="allow",description="tcp ports 22 on any interface but lo"} 0$' \
    "$out/zorvane_example.prom" && echo "ok: the example's textfile" ||
    { echo "FAIL: the example's textfile: $(cat "$out/zorvane_example.prom")"; status=1; }
rm -rf "$out"
exit $status
