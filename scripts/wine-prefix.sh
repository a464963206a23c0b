#!/bin/sh
# Creates the private Wine prefix once: null graphics driver (windows and
# cross-process messages work without a display), then the per-program Windows
# versions listed in wine-appdefaults.txt beside the prefix ("program.exe version").
#   wine-prefix.sh PREFIX
set -e
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
export WINEPREFIX="$prefix"
mkdir -p "$(dirname "$prefix")"

exec 9>"$prefix.lock"
flock 9

if [ ! -f "$prefix/.rolm-ready" ]; then
    rm -rf "$prefix"
    "$ROLM_WINE" wineboot -i >/dev/null 2>&1 || true
    "$ROLM_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.rolm-ready"
fi

list="$(dirname "$prefix")/wine-appdefaults.txt"
stamp="$prefix/.rolm-appdefaults"
if [ -f "$list" ] && { [ ! -f "$stamp" ] || [ "$list" -nt "$stamp" ]; }; then
    while read -r exe version; do
        [ -n "$exe" ] || continue
        "$ROLM_WINE" reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d "$version" /f >/dev/null 2>&1
    done < "$list"
    wineserver -w
    touch "$stamp"
fi

