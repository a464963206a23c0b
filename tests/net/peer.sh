#!/bin/sh
# peer.sh up|down STATEFILE: namespace peers for the raw-socket probes, 10.251.0.2 answering echo
# requests, 10.251.0.6 silent; STATEFILE says "up" or why not. "down" (and "up" first) removes them.
state=$2

remove() {
    for ns in rolmnet-answer rolmnet-silent; do ip netns del "$ns" 2>/dev/null; done
    for link in rolmnetA0 rolmnetS0; do ip link del "$link" 2>/dev/null; done
    return 0
}
unavailable() { echo "$1" | tee "$state"; remove; exit 0; }
# peer NAMESPACE LINK HOSTADDR PEERADDR
peer() {
    ip netns add "$1" && ip link add "${2}0" type veth peer name "${2}1" && ip link set "${2}1" netns "$1" &&
        ip addr add "$3/30" dev "${2}0" && ip link set "${2}0" up &&
        ip netns exec "$1" sh -c "ip addr add $4/30 dev ${2}1 && ip link set ${2}1 up && ip link set lo up"
}

remove
[ "$1" = up ] || { rm -f "$state"; exit 0; }
[ "$(id -u)" = 0 ] || unavailable "not root (raw sockets and namespaces need root)"
command -v ip >/dev/null 2>&1 || unavailable "no ip command (iproute2)"
peer rolmnet-answer rolmnetA 10.251.0.1 10.251.0.2 || unavailable "cannot make the answering peer"
peer rolmnet-silent rolmnetS 10.251.0.5 10.251.0.6 || unavailable "cannot make the silent peer"
ip netns exec rolmnet-silent sysctl -qw net.ipv4.icmp_echo_ignore_all=1 || unavailable "cannot silence the silent peer"
echo up | tee "$state"
