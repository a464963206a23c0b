#!/bin/sh
# Fails, naming DLL!function, when a program imports by name a function that
# 32-bit Windows XP SP3 does not export (it would not even load there).
#   check-xp-imports.sh PROGRAM.exe...
# ROLM_XP_EXPORTS: the export lists, one DLL per file; by default the project's cmake/xp-exports.
lists=${ROLM_XP_EXPORTS:-$(cd "$(dirname "$0")/.." && pwd)/cmake/xp-exports}
[ -f "$lists/kernel32.txt" ] || { echo "check-xp-imports: no export lists in $lists" >&2; exit 2; }
status=0
for program in "$@"; do
    ${OBJDUMP:-i686-w64-mingw32-objdump} -p "$program" | awk -v lists="$lists" -v program="$program" '
        /DLL Name:/ { dll = $3; list = lists "/" tolower(dll); sub(/\.dll$/, ".txt", list); next }
        /^$/ { dll = ""; next }
        dll != "" && $1 ~ /^[0-9a-f]+$/ && $3 !~ /^</ {
            if (!(list in read)) { read[list] = 1; while ((getline name < list) > 0) known[list, name] = 1 }
            count++
            if (!((list, $3) in known)) { print program ": not on XP SP3: " dll "!" $3; missing++ }
        }
        END { printf "%s: %d imports by name, %d missing on XP SP3\n", program, count, missing
              exit missing > 0 || count == 0 }' || status=1  # no imports: no such program
done
exit $status
