# Sourced: the Wine environment shared by the scripts. ROLM_WINE is the loader:
# the 32-bit one where this kernel runs 32-bit code, else the 64-bit one (the
# build then targets x86_64).
# winedbg off: a crashing test program then ends at once instead of hanging in the debugger.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
if [ -z "${ROLM_WINE:-}" ]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        ROLM_WINE=/usr/lib/wine/wine
    else
        ROLM_WINE=/usr/lib/wine/wine64
        export WINELOADER=/usr/lib/wine/wine64
    fi
fi
export ROLM_WINE
