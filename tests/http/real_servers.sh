#!/bin/bash
# real/cases.txt against nginx and squid on 127.0.0.1; 77 (skipped) where one is missing.
set -u
here=$(cd "$(dirname "$0")" && pwd) build=$1
export PATH=$PATH:/usr/sbin WORK=$build/real-servers
for tool in nginx squid python3; do
    command -v $tool >/dev/null || { echo "real_servers: $tool is not installed"; exit 77; }
done
rm -rf "$WORK" && mkdir -p "$WORK/www" "$WORK/tmp" && chmod -R a+rwx "$WORK"
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
set -- $(python3 -c 'import socket
s = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
print(*(x.getsockname()[1] for x in s))')
export ROLM_NGINX=$1 ROLM_SQUID=$2
seq -f '%015g abcdefghijklmnopqrstuvwxyz 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ' 2000000 |
    head -c 67108864 >"$WORK/www/big.bin"
sed 's/0123456789/9876543210/g' "$WORK/www/big.bin" >"$WORK/sub.bin"
printf a >"$WORK/www/a.txt"
for conf in nginx squid; do envsubst '$WORK $ROLM_NGINX $ROLM_SQUID' <"$here/real/$conf.conf" >"$WORK/$conf.conf"; done
chmod a+r "$WORK"/*
nginx -c "$WORK/nginx.conf" -p "$WORK" &
squid -N -f "$WORK/squid.conf" &
while :; do  # nginx's worker killed whenever the test asks, a second into a slow body
    [ -e "$WORK/kill" ] && sleep 1 && rm "$WORK/kill" && pkill -9 -P "$(cat "$WORK/nginx.pid")" nginx
    sleep 0.1
done &
for port in $ROLM_NGINX $ROLM_SQUID; do
    timeout 10 bash -c "until echo >/dev/tcp/127.0.0.1/$port; do sleep 0.1; done" 2>/dev/null
done
ROLM_SERVED=$(printf 'Z:%s/' "$WORK" | tr / '\\') \
    "$here/../../scripts/wine-run.sh" "$build/wineprefix" "$build/bin/http_test.exe" --gtest_filter='*RealServers*'
