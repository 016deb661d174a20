#!/bin/sh
# Creates the Wine prefix that the tests run in: null graphics driver so that
# hidden windows work without a display, no crash dialog so that a crashing
# test ends instead of starting winedbg, and Windows 10 as the reported version.
set -eu
prefix=$1
[ -f "$prefix/.tobra-ready" ] && exit 0

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$prefix" WINEDEBUG=-all
# Without these overrides wineboot offers to download Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="

"$wineserver" -k 2>/dev/null || true
rm -rf "$prefix"
mkdir -p "$prefix"

timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1
# wineboot returns before the set-up has finished.
timeout 300 "$wineserver" -w
timeout 120 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
  </dev/null >/dev/null 2>&1
timeout 120 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  </dev/null >/dev/null 2>&1
timeout 120 "$wine" winecfg -v win10 </dev/null >/dev/null 2>&1
timeout 120 "$wineserver" -w

touch "$prefix/.tobra-ready"
