# Sourced by the end-to-end tests and the demonstration, inside the sandbox:
# the sandbox's namespace is the firewall, with eth3 (10.0.3.254,
# 2001:db8:3::fe) and eth2 (10.0.2.254, 2001:db8:2::fe), whose veth peers
# sit in the test-host namespaces peer3 (10.0.3.5, 10.0.3.100, 10.0.3.220;
# 2001:db8:3::5, ::100, ::300) and peer2 (10.0.2.7; 2001:db8:2::7).
# netlab_cleanup undoes everything, including the background processes
# registered in netlab_pids.

netlab_pids=()

# Safe under "set -e" (it runs from EXIT traps): a process that has already
# ended or a namespace already gone is no failure here.
netlab_cleanup() {
    local pid
    for pid in ${netlab_pids[@]+"${netlab_pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    ip netns del peer3 2>/dev/null || true
    ip netns del peer2 2>/dev/null || true
    return 0
}

netlab_up() {
    ip netns add peer3 && ip netns add peer2 || return 1
    ip link add eth3 type veth peer name p3 netns peer3 || return 1
    ip link add eth2 type veth peer name p2 netns peer2 || return 1
    ip addr add 10.0.3.254/24 dev eth3 && ip link set eth3 up
    ip addr add 10.0.2.254/24 dev eth2 && ip link set eth2 up
    local a ns
    for a in 10.0.3.5 10.0.3.100 10.0.3.220; do ip -n peer3 addr add "$a/24" dev p3; done
    ip -n peer2 addr add 10.0.2.7/24 dev p2
    # IPv6 without duplicate address detection: usable at once.
    ip -6 addr add 2001:db8:3::fe/64 dev eth3 nodad
    ip -6 addr add 2001:db8:2::fe/64 dev eth2 nodad
    for a in 2001:db8:3::5 2001:db8:3::100 2001:db8:3::300; do ip -n peer3 -6 addr add "$a/64" dev p3 nodad; done
    ip -n peer2 -6 addr add 2001:db8:2::7/64 dev p2 nodad
    for ns in peer3 peer2; do ip -n "$ns" link set lo up; done
    ip -n peer3 link set p3 up && ip -n peer2 link set p2 up
    sleep 1  # addresses settle
}

# Starts ulogd with the given configuration (drop log in /var/log).
netlab_start_ulogd() {
    ulogd -c "$1" >/dev/null 2>&1 &
    netlab_pids+=($!)
    sleep 1
    kill -0 "$!" 2>/dev/null || { echo "ulogd did not start" >&2; cat /var/log/ulogd.log >&2; return 1; }
}

# Whether the geoip match can be loaded by iptables-restore here.
netlab_has_geoip() {
    local probe ok=1
    probe=$(mktemp)
    printf '*filter\n:ZORVANE - [0:0]\n-A ZORVANE -m geoip --source-country US -j DROP\nCOMMIT\n' > "$probe"
    /sbin/iptables-restore --test "$probe" 2>/dev/null && ok=0
    rm -f "$probe"
    return $ok
}

# ping_from NS SOURCE COUNT TARGET: prints the number of replies.
ping_from() {
    ip netns exec "$1" ping -n -q -c "$3" -i 0.2 -W 1 -I "$2" "$4" 2>/dev/null |
        awk '/received/ { for (i = 1; i <= NF; i++) if ($(i) ~ /^received/) print $(i - 1) }'
}

# ping6_from NS SOURCE COUNT TARGET: the same over IPv6.
ping6_from() {
    ip netns exec "$1" ping -6 -n -q -c "$3" -i 0.2 -W 1 -I "$2" "$4" 2>/dev/null |
        awk '/received/ { for (i = 1; i <= NF; i++) if ($(i) ~ /^received/) print $(i - 1) }'
}

# udp_from NS SOURCE PORT COUNT TARGET: datagrams, each from a fresh port
# (either family: the addresses decide).
udp_from() {
    local _
    for _ in $(seq "$4"); do echo probe | ip netns exec "$1" nc -u -w0 -s "$2" "$5" "$3"; done
}

# tcp_from NS SOURCE PORT TARGET SECONDS: succeeds when the connection opens.
tcp_from() {
    ip netns exec "$1" timeout "$5" nc -z -s "$2" "$4" "$3" 2>/dev/null
}
