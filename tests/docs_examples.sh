#!/usr/bin/env bash
# The C and C++ examples of doc/rule-sets.md are compiled against the build
# tree and run inside the fake sandbox, so the reference cannot drift from
# the library. Run as: sandbox.sh fake docs_examples.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Each fenced block, in order: the first ```c block and the first ```cpp block.
awk -v dir="$work" '
    /^```c$/   { out = dir "/example_c.c"; next }
    /^```cpp$/ { out = dir "/example_cpp.cpp"; next }
    /^```$/    { out = ""; next }
    out != ""  { print > out }' "$src/doc/rule-sets.md"
[ -s "$work/example_c.c" ] && [ -s "$work/example_cpp.cpp" ] || { echo "examples not found"; exit 1; }
flags=(-I"$src/internal/libs/libzorvane/include" -L"$build" -Wl,-rpath,"$build" -lzorvane -Wall -Wextra -Werror)
cc -std=c11 "$work/example_c.c" -o "$work/example_c" "${flags[@]}"
c++ -std=c++17 "$work/example_cpp.cpp" -o "$work/example_cpp" "${flags[@]}"

plan=$ZVN_FAKE_DIR/plan
cat > "$plan/save.out" <<'LISTING'
*filter
:INPUT ACCEPT [0:0]
:ZORVANE - [0:0]
[12:720] -A ZORVANE -i eth0 -p tcp -m multiport --dports 22 -j ACCEPT
[3:180] -A ZORVANE -i eth0 -j NFLOG --nflog-prefix "RULE=2 ACT=DROP"
[3:180] -A ZORVANE -i eth0 -j DROP
COMMIT
LISTING
printf '     7      420 ACCEPT\n' > "$plan/list-any.out"
out=$("$work/example_c")
[ "$out" = "counts: [12,3]" ] || { echo "C example printed: $out"; exit 1; }
echo "ok: C example: $out"
out=$("$work/example_cpp")
[ "$out" = "counts: [7,7]" ] || { echo "C++ example printed: $out"; exit 1; }
echo "ok: C++ example: $out"
echo 2 > "$plan/restore-test.status"
if err=$("$work/example_cpp" 2>&1); then echo "C++ example succeeded on a rejected rule set"; exit 1; fi
grep -q 'iptables-restore --test .* --> ret=512' <<<"$err" || { echo "C++ example did not show the log: $err"; exit 1; }
echo "ok: C++ example shows the captured log on failure"
