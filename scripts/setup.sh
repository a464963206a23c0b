#!/bin/sh
# Installs what the build and the tests need, when it is missing: MinGW-w64
# (32- and 64-bit), Wine with its 32-bit half, CMake, GoogleTest's sources,
# clang (the second compiler), nginx and squid.
# Idempotent; does nothing when everything is there.
set -e
missing=""
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake ctest flock ip clang++; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
[ -x /usr/lib/wine/wine64 ] && [ -e /usr/lib/wine/wine ] || missing="$missing wine"
[ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
[ -x /usr/sbin/nginx ] && [ -x /usr/sbin/squid ] || missing="$missing nginx squid"
[ -z "$missing" ] && exit 0

echo "setup: installing for:$missing"
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
# One index may fail to download; the install below still works.
apt-get update || true
# nginx and squid are for tests/http/real_servers.sh, which starts instances
# of its own: their system services must not start, now or at boot.
policy=/usr/sbin/policy-rc.d
[ -e $policy ] || { printf '#!/bin/sh\nexit 101\n' >$policy && chmod +x $policy && trap "rm -f $policy" EXIT; }
apt-get install -y -t bookworm --no-install-recommends \
    wine wine32:i386 wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    cmake googletest iproute2 util-linux clang nginx-light squid
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx squid >/dev/null 2>&1 || true; fi
