#!/bin/sh
# Tells whether this machine can run the 32-bit Windows build's programs:
#   can-run-win32.sh BUILD_DIR
# They need Wine's 32-bit loader (Debian: dpkg --add-architecture i386,
# then wine32:i386), and a kernel that runs 32-bit programs at all. When
# either is missing the reason is printed and the status is 1.
set -u
# Wine takes only an absolute prefix.
build=$(cd "$1" && pwd) || exit 1
here=$(dirname "$0")
if [ ! -x /usr/lib/wine/wine ]; then
  echo "32-bit Windows tests built, not run: Wine's 32-bit loader is not installed" \
       "(dpkg --add-architecture i386; apt-get install wine32:i386)"
  exit 1
fi
out=$(QX_WINE_32BIT=1 "$here/wine-run.sh" "$build/wineprefix" "$build/quarrix.exe" 2>&1)
case "$out" in
  *Usage:*) exit 0 ;;
esac
echo "32-bit Windows tests built, not run: this machine cannot run 32-bit programs under Wine:"
printf '%s\n' "$out" | head -3 | sed 's/^/  /'
exit 1
