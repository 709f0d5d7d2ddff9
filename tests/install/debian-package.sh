#!/bin/sh
# Makes the Debian package of the build, installs it with dpkg, runs the
# installed programs, and removes it again: nothing of it may stay behind.
# Needs root and dpkg; otherwise it is skipped (status 77).
#   debian-package.sh BUILD_DIR
set -eu
build=$1
[ "$(id -u)" = 0 ] && command -v dpkg >/dev/null && command -v cpack >/dev/null || exit 77
# a record left by an earlier removal (config-files) is no installed package
if dpkg-query -W -f='${Status}' vezlog 2>/dev/null | grep -q ' installed$'; then
  echo "a vezlog package is installed already; not touching it"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/vez-deb-XXXXXX")
trap 'dpkg -r vezlog >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb)
dpkg -i "$deb" >/dev/null
files=$(dpkg -L vezlog)
for f in /usr/bin/aud /usr/bin/logmsg /usr/bin/vezreg /usr/include/vezlog.h /usr/share/man/man1/aud.1; do
  echo "$files" | grep -qx "$f" || { echo "package lacks $f"; exit 1; }
done
printf 'REGEDIT4\r\n' > "$work/registry.reg"
VEZ_REGISTRY=$work/registry.reg TMPDIR=$work /usr/bin/aud -c
VEZ_REGISTRY=$work/registry.reg TMPDIR=$work /usr/bin/aud 0 | grep -q "Audit Logging Settings for index 0"
VEZ_REGISTRY=$work/registry.reg /usr/bin/vezreg add HKLM\\Software\\Quendrix\\VEZ /v LOGPATH /d "$work"
dpkg -r vezlog >/dev/null
for f in $files; do
  [ -d "$f" ] || [ ! -e "$f" ] || { echo "left behind after removal: $f"; exit 1; }
done
echo "ok: $deb installed, ran and removed"
