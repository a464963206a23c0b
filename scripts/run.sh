#!/bin/sh
# Builds rolm.exe and runs it under Wine: with arguments, that one command
# ("scripts/run.sh ping 127.0.0.1"); without, a tour of the five families
# against real things: loopback, a local web server, the prefix's disk and registry.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/wine-env.sh
if [ "$ROLM_WINE" = /usr/lib/wine/wine ]; then preset=mingw-wine; dir=build; else preset=mingw64-wine; dir=build64; fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target rolm_shipped  # rolm.exe, rolmview.exe (win32-thread compilers)
if [ $# -gt 0 ]; then
    exec scripts/wine-run.sh "$PWD/$dir/wineprefix" "$dir/bin/rolm.exe" "$@"
fi

rolm() {
    printf '$ rolm %s\n' "$*"
    status=0
    scripts/wine-run.sh "$PWD/$dir/wineprefix" "$dir/bin/rolm.exe" "$@" || status=$?
    echo "(exit status $status)"
    echo
}

site=$(mktemp -d)
trap 'kill $server 2>/dev/null; rm -rf "$site"' EXIT
printf '<html><body>hello from a real server</body></html>' > "$site/index.html"
python3 -m http.server 18765 --bind 127.0.0.1 --directory "$site" >/dev/null 2>&1 &
server=$!

rolm trace "hello from rolm"
rolm resolve localhost
rolm echo 127.0.0.1
rolm check 127.0.0.1
sleep 1
rolm get http://127.0.0.1:18765/index.html
rolm find "abcABCabc" "abc" -i
rolm launch 'C:\windows\system32\cmd.exe' --args '/c exit 3' --wait 10000
rolm mkdir 'C:\rolm-tour\logs\today'
rolm regkey 'HKCU\Software\rolm-tour\settings'
rolm checkkey 'HKCU\Software\rolm-tour\settings'
rolm ini
