# peer.sh up|down STATEFILE: peers 10.251.0.2 (answers) and 10.251.0.6 (silent); STATEFILE says "up" or why not.
remove() { for n in rolmnet-answer rolmnet-silent; do ip netns del $n; done; for l in rolmnetA0 rolmnetS0; do ip link del $l; done; } 2>/dev/null
peer() {  # NAMESPACE LINK HOSTADDR PEERADDR
    ip netns add "$1" && ip link add "${2}0" type veth peer name "${2}1" && ip link set "${2}1" netns "$1" &&
        ip addr add "$3/30" dev "${2}0" && ip link set "${2}0" up &&
        ip netns exec "$1" sh -c "ip addr add $4/30 dev ${2}1 && ip link set ${2}1 up && ip link set lo up"
}
remove
[ "$1" = up ] || { rm -f "$2"; exit 0; }
if peer rolmnet-answer rolmnetA 10.251.0.1 10.251.0.2 && peer rolmnet-silent rolmnetS 10.251.0.5 10.251.0.6 &&
    ip netns exec rolmnet-silent sysctl -qw net.ipv4.icmp_echo_ignore_all=1; then echo up | tee "$2"
else echo "cannot make the peers (raw sockets and namespaces need root and iproute2)" | tee "$2"; remove; fi
