#!/bin/sh
# Runs a Windows program under Wine, headless and quietly:
#   wine-run.sh PREFIX [PROGRAM [ARGUMENTS...]]
# PREFIX is the Wine prefix to use; it is created on first use (under a lock,
# since ctest may start several programs at once). Without a program the
# prefix is only made ready. No display is used, and the Mono and Gecko
# installers are disabled, so nothing waits for an answer.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# 32-bit programs need Wine's 32-bit loader, 64-bit ones its 64-bit loader;
# the plain wine command prefers the 32-bit one when both are installed.
if [ "${QX_WINE_32BIT:-0}" = 1 ] && [ -x /usr/lib/wine/wine ]; then
  wine=/usr/lib/wine/wine
  export WINELOADER="$wine"
elif [ "${QX_WINE_32BIT:-0}" != 1 ] && [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
  export WINELOADER="$wine"
else
  wine=wine
fi
if [ ! -f "$prefix/.qx-ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.qx-ready" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
      touch "$prefix/.qx-ready"
    fi
  ) 9>"$prefix.lock"
fi
[ $# -gt 0 ] || exit 0
exec "$wine" "$@"
