#!/usr/bin/env bash
# Builds the Debian package, has lintian judge it (no errors), installs it
# with dpkg in a throwaway sandbox whose /usr, /etc, /var/lib/dpkg,
# /var/lib/systemd (where the unit is enabled) and /var/cache are overlays,
# and there runs zvn_util and zorvane, renders the
# manual pages, verifies the boot unit (enabled by the package) with
# systemd-analyze, and builds and runs a client with pkg-config and with
# find_package.
# usage: package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
if [ "${1:-}" = --inside ]; then
    deb=$2 consumer=$3 python_deb=$4 example=$5
    scratch=$(mktemp -d)
    dpkg -i "$deb" >/dev/null
    dpkg -s zorvane | grep -q '^Status: install ok installed'
    [ "$(zvn_util | head -n 1)" = "zvn_util Commands:" ] || { echo "installed zvn_util does not run"; exit 1; }
    [ "$(zorvane --version)" = "zorvane 1.0.0" ] || { echo "installed zorvane does not run"; exit 1; }
    [ -f /usr/share/bash-completion/completions/zorvane ] || { echo "no bash completion"; exit 1; }
    [ -x /usr/share/zorvane/firewall.sh ] || { echo "no example preparation script"; exit 1; }
    [ -L /etc/systemd/system/multi-user.target.wants/zorvane.service ] || { echo "zorvane.service is not enabled"; exit 1; }
    grep -qx /etc/zorvane/failsafe.json /var/lib/dpkg/info/zorvane.conffiles || { echo "failsafe.json is no conffile"; exit 1; }
    { zorvane --ipv4-only check --failsafe 2> "$scratch/failsafe.err" >/dev/null &&
        grep -q "tcp ports 22" "$scratch/failsafe.err"; } || { echo "check --failsafe: $(cat "$scratch/failsafe.err")"; exit 1; }
    [ -L /etc/systemd/system/multi-user.target.wants/zorvane-guard.service ] || { echo "zorvane-guard.service is not enabled"; exit 1; }
    verify=$(systemd-analyze verify /lib/systemd/system/zorvane.service /lib/systemd/system/zorvane-guard.service 2>&1) ||
        { echo "systemd-analyze verify: $verify"; exit 1; }
    [ -z "$verify" ] || { echo "systemd-analyze verify: $verify"; exit 1; }
    for page in "1 zvn_util" "3 libzorvane" "8 zorvane"; do
        # shellcheck disable=SC2086
        warnings=$(MANWIDTH=80 man --warnings $page 2>&1 >/dev/null)
        [ -z "$warnings" ] || { echo "man $page: $warnings"; exit 1; }
        MANWIDTH=80 man $page 2>/dev/null | grep -q 'ZORVANE' || { echo "man $page is empty"; exit 1; }
    done
    cc -Wall -Werror "$consumer/consumer.c" $(pkg-config --cflags --libs libzorvane) -o "$scratch/by-pkg-config"
    cmake -S "$consumer" -B "$scratch/by-cmake" >/dev/null
    cmake --build "$scratch/by-cmake" >/dev/null
    "$scratch/by-pkg-config"
    "$scratch/by-cmake/consumer"
    [ ! -e /usr/sbin/firewall.sh.dpkg-new ] && [ -f /usr/share/doc/zorvane/examples/ulogd-zorvane.conf ]
    [ -f /usr/share/doc/zorvane/examples/ansible/roles/zorvane/tasks/main.yml ]
    # The Python package on the installed library: imported by Debian's
    # Python, its findings read, and the manual's example run (it checks
    # and refuses; with the fakes nothing is installed for real).
    dpkg -i "$python_deb" >/dev/null
    dpkg -s python3-zorvane | grep -q '^Status: install ok installed'
    (cd / && /usr/bin/python3 -c 'import zorvane, sys
assert zorvane.__file__.startswith("/usr/lib/python3/dist-packages/"), zorvane.__file__
assert [f.code for f in zorvane.check("[{\"allow\":true},{\"allow\":false}]")] == ["shadowed"]
') || { echo "the installed Python package does not import"; exit 1; }
    (cd / && /usr/bin/python3 "$example" --check-only) > "$scratch/example.out" 2>&1 ||
        { echo "the Python example: $(cat "$scratch/example.out")"; exit 1; }
    echo '[{"allow":true},{"protocol":"tcp","dports_list":["ssh"],"allow":true}]' > "$scratch/bad.json"
    (cd / && /usr/bin/python3 "$example" --check-only "$scratch/bad.json") > "$scratch/example.out" 2>&1 &&
        { echo "the Python example took a refused set"; exit 1; }
    grep -q "refused: rule 2 (dports_list)" "$scratch/example.out" ||
        { echo "the Python example said: $(cat "$scratch/example.out")"; exit 1; }
    dpkg -r python3-zorvane >/dev/null
    [ ! -e /usr/lib/python3/dist-packages/zorvane ] || { echo "python3-zorvane leaves files behind"; exit 1; }
    # A purge takes the host's rule sets and kept chains with it.
    mkdir -p /var/lib/zorvane && echo '[{"allow":true}]' > /etc/zorvane/rules.json && echo kept > /var/lib/zorvane/ipv4.good
    dpkg --purge zorvane >/dev/null
    [ ! -e /etc/zorvane ] && [ ! -e /var/lib/zorvane ] ||
        { echo "apt purge leaves: $(ls -d /etc/zorvane /var/lib/zorvane 2>/dev/null)"; exit 1; }
    echo "ok: installed packages work"
    exit 0
fi

pkg_build=$build/package-test
debs=$(PACKAGE_BUILD_DIR=$pkg_build "$src/scripts/package")
deb=$(tail -n 1 <<<"$debs")
python_deb=$(grep python3-zorvane <<<"$debs")
echo "built $deb and $python_deb"
if command -v lintian >/dev/null; then
    report=$(lintian "$deb" "$python_deb" 2>&1 | grep -v 'root privileges' || true)
    echo "$report"
    if grep -q '^E:' <<<"$report"; then echo "lintian reports errors"; exit 1; fi
    echo "ok: lintian reports no errors"
else
    echo "lintian not installed: not checked"
fi
ZVN_SANDBOX_OVERLAYS="/usr /etc /var/lib/dpkg /var/lib/systemd /var/cache" \
    "$src/tests/sandbox/sandbox.sh" fake "$src/tests/package.sh" --inside "$deb" "$src/tests/consumer" "$python_deb" \
    "$src/doc/python-example.py"
