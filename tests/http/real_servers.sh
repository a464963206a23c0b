#!/bin/sh
# The new exchange against real server software on 127.0.0.1: nginx (static,
# chunked through sub_filter, its worker killed in the middle of a body),
# Python's http.server and a small handler of it (close-delimited, cut short,
# never answering), and squid as the proxy that asks for a password. Runs http_transport_test's RealServers
# cases against them; exits 77 (skipped) when one of the three is missing.
#   real_servers.sh BUILD_DIR
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
for tool in nginx squid python3; do
    PATH=$PATH:/usr/sbin command -v $tool >/dev/null 2>&1 || { echo "real_servers: $tool is not installed"; exit 77; }
done
PATH=$PATH:/usr/sbin
work=$build/real-servers
rm -rf "$work"
mkdir -p "$work/www" "$work/tmp"
chmod -R a+rwx "$work"
pids=""
stop() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap stop EXIT

# Free ports: nginx, Python, squid.
set -- $(python3 -c 'import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))')
nginx_port=$1 python_port=$2 squid_port=$3

# 64 MB of text, and what nginx's sub_filter makes of it.
python3 - "$work" <<'EOF'
import sys
work = sys.argv[1]
line = b"".join(b"%07d abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 ...\n" % i for i in range(8))
body = (line * (64 * 2**20 // len(line) + 1))[:64 * 2**20]
open(work + "/www/big.bin", "wb").write(body)
open(work + "/sub.bin", "wb").write(body.replace(b"0123456789", b"9876543210"))
open(work + "/www/a.txt", "w").write("a")
EOF

cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
        location /chunked/ { alias $work/www/; sub_filter_types *; sub_filter 0123456789 9876543210; sub_filter_once off; }
        location /slow/ { alias $work/www/; limit_rate 4m; }
    }
}
EOF
nginx -c "$work/nginx.conf" -p "$work" &
pids="$pids $!"

cat >"$work/handler.py" <<'EOF'
import http.server, os, sys, time
work, port = sys.argv[1], int(sys.argv[2])
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=work + "/www", **kwargs)
    def log_message(self, *args):
        pass
    def do_GET(self):
        if self.path == "/close":  # no length: the body ends with the connection
            self.send_response(200)
            self.end_headers()
            with open(work + "/www/big.bin", "rb") as f:
                self.wfile.write(f.read())
        elif self.path == "/cut":  # announces 1000 bytes, sends 10 and closes
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
        elif self.path == "/silent":
            time.sleep(30)
        else:
            super().do_GET()
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
EOF
python3 "$work/handler.py" "$work" "$python_port" &
pids="$pids $!"

cat >"$work/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
pid_filename $work/squid.pid
cache_log $work/squid-cache.log
access_log none
cache deny all
coredump_dir $work
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_fake_auth
auth_param basic realm rolm
acl users proxy_auth REQUIRED
http_access allow users
http_access deny all
EOF
chmod a+r "$work"/*
squid -N -f "$work/squid.conf" &
pids="$pids $!"

# nginx's worker is killed whenever the test asks for it, a second into a slow body.
(
    while :; do
        if [ -e "$work/kill" ]; then
            sleep 1
            rm -f "$work/kill"
            pkill -9 -P "$(cat "$work/nginx.pid")" nginx
        fi
        sleep 0.1
    done
) &
pids="$pids $!"

# Ready when each answers.
for port in $nginx_port $python_port $squid_port; do
    tries=0
    until python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "real_servers: nothing answers on port $port"; exit 1; }
        sleep 0.1
    done
done

folder=$(printf 'Z:%s' "$work" | tr / '\\')
ROLM_REAL_SERVERS="$nginx_port $python_port $squid_port $folder" \
    "$here/../../scripts/wine-run.sh" "$build/wineprefix" "$build/bin/http_transport_test.exe" --gtest_filter='*RealServers*'
