#!/usr/bin/env bash
# Runs a command in a throwaway sandbox: private mount, network and PID
# namespaces, tmpfs over /tmp, /var/log and /run, and an overlay over
# /usr/sbin (which /sbin points to) that puts the chosen packet-filter tools
# and preparation script at their fixed paths. The host's packet filter is
# never reached. When the command ends, the PID namespace takes every process
# it left (ulogd, ping) with it, the mounts go with the mount namespace, and
# the trap removes the overlay's directories. /var/lib is always an overlay.
#
# usage: sandbox.sh MODE COMMAND [ARG...]
#   fake    scriptable fakes (fake-tool beside this script) for all the programs
#   nft     the real iptables, nf_tables back end, with deploy/firewall.sh
#   legacy  the real iptables, legacy back end, with deploy/firewall.sh
# Inside, ZVN_SANDBOX holds the mode and, in fake mode, ZVN_FAKE_DIR the fakes'
# state. ZVN_SANDBOX_OVERLAYS may name more directories (for instance
# "/usr /etc /var/lib/dpkg") that get a throwaway overlay, so that a package
# can be installed and used inside and is gone afterwards. Exit status: the command's, or 77 (skipped) where no sandbox can be
# made; with ZVN_REQUIRE_SANDBOX=1 (CI) that is an error (1) instead.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)

cannot() {
    echo "sandbox: $*" >&2
    if [ "${ZVN_REQUIRE_SANDBOX:-0}" = 1 ]; then exit 1; fi
    echo "sandbox: skipped" >&2
    exit 77
}

inside() {
    local mode=$1 work=$2
    shift 2
    # A checkout or build that lives under /tmp stays reachable: its top
    # directory is bound back into the fresh /tmp.
    local keep=() path rel
    for path in "$top" "$PWD" "$@"; do
        case $path in /tmp/?*) rel=${path#/tmp/}; keep+=("${rel%%/*}") ;; esac
    done
    mkdir -p "$work/host-tmp"
    mount --bind /tmp "$work/host-tmp"
    mount -t tmpfs tmpfs /tmp
    for rel in ${keep[@]+"${keep[@]}"}; do
        if [ -d "$work/host-tmp/$rel" ]; then mkdir -p "/tmp/$rel"; else touch "/tmp/$rel"; fi
        mount --bind "$work/host-tmp/$rel" "/tmp/$rel"
    done
    mount -t tmpfs tmpfs /var/log
    mount -t tmpfs tmpfs /run
    mkdir -p /run/netns "$work/upper" "$work/overlay-work"
    # /var/lib always gets one: zorvane keeps its last good rule sets under
    # /var/lib/zorvane, and no test may leave them on the host.
    local dir layer=0
    for dir in /var/lib ${ZVN_SANDBOX_OVERLAYS:-}; do
        layer=$((layer + 1))
        mkdir -p "$work/layer$layer/upper" "$work/layer$layer/work"
        mount -t overlay overlay \
            -o "lowerdir=$dir,upperdir=$work/layer$layer/upper,workdir=$work/layer$layer/work" "$dir"
    done
    mount -t overlay overlay \
        -o "lowerdir=/usr/sbin,upperdir=$work/upper,workdir=$work/overlay-work" /usr/sbin
    ip link set lo up
    # Links and files are removed before they are replaced: writing through
    # /usr/sbin/iptables would follow /etc/alternatives out of the overlay.
    local name
    case $mode in
    fake)
        for name in iptables iptables-restore iptables-save ip6tables ip6tables-restore ip6tables-save firewall.sh; do
            rm -f "/usr/sbin/$name"
            install -m 0755 "$here/fake-tool" "/usr/sbin/$name"
        done
        export ZVN_FAKE_DIR="$work/fake"
        mkdir -p "$ZVN_FAKE_DIR/plan"
        ;;
    nft | legacy)
        for name in iptables iptables-restore iptables-save ip6tables ip6tables-restore ip6tables-save; do
            rm -f "/usr/sbin/$name"
            ln -s "xtables-$mode-multi" "/usr/sbin/$name"
        done
        rm -f /usr/sbin/firewall.sh
        install -m 0755 "$top/deploy/firewall.sh" /usr/sbin/firewall.sh
        ;;
    esac
    export ZVN_SANDBOX=$mode
    "$@"
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit
fi

mode=${1:-}
case $mode in fake | nft | legacy) ;; *) echo "usage: $0 fake|nft|legacy COMMAND [ARG...]" >&2; exit 2 ;; esac
shift
[ $# -gt 0 ] || { echo "usage: $0 fake|nft|legacy COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || cannot "needs root"
command -v unshare >/dev/null || cannot "needs unshare (util-linux)"
command -v ip >/dev/null || cannot "needs ip (iproute2)"
if [ "$mode" != fake ] && [ ! -x "/usr/sbin/xtables-$mode-multi" ]; then
    cannot "needs /usr/sbin/xtables-$mode-multi (iptables)"
fi
unshare --mount --net --pid --fork --propagation private true 2>/dev/null ||
    cannot "cannot make mount, network and PID namespaces"

work=$(mktemp -d /var/tmp/zvn-sandbox.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
set +e
unshare --mount --net --pid --fork --propagation private --mount-proc \
    "$here/sandbox.sh" --inside "$mode" "$work" "$@"
exit $?
