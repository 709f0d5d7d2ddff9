#!/bin/sh
# Makes the Debian package of the build and installs it as an operator
# would, then uses the host it sets up: two users of the product's group
# share the settings and the error log (one changes an audit level with aud,
# a running process of the other obeys it at its next call), a user outside
# the group is refused. Then removes it (settings, logs and registry file
# stay) and purges it (nothing stays). Needs root, dpkg and cpack, and a
# host where the package and its files are not there yet; otherwise it is
# skipped (status 77).
#   debian-package.sh BUILD_DIR
set -eu
build=$1
skip() {
  echo "skipped: $1"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v dpkg >/dev/null && command -v cpack >/dev/null || skip "needs dpkg and cpack"
# a record left by an earlier removal (config-files) is no installed package
if dpkg-query -W -f='${Status}' vezlog 2>/dev/null | grep -q ' installed$'; then
  skip "a vezlog package is installed already; not touching it"
fi
for f in /etc/vez /var/lib/vez /var/log/vez; do
  [ ! -e "$f" ] || skip "$f exists already; not touching it"
done
getent group vez >/dev/null && skip "a group vez exists already; not touching it"

work=$(mktemp -d "${TMPDIR:-/tmp}/vez-deb-XXXXXX")
chmod 755 "$work"
users="veztest-a veztest-b veztest-out"
cleanup() {
  exec 3>&- 2>/dev/null || true
  for u in $users; do userdel "$u" >/dev/null 2>&1 || true; done
  dpkg -P vezlog >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $1"
  exit 1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb)
if command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null 2>&1 ||
    dpkg -i "$deb" >/dev/null
else
  dpkg -i "$deb" >/dev/null
fi
files=$(dpkg -L vezlog)
for f in /usr/bin/aud /usr/bin/logmsg /usr/bin/vezreg /usr/bin/vezcat /usr/include/vezlog.h \
  /usr/share/man/man1/aud.1 /etc/vez/registry.reg; do
  echo "$files" | grep -qx "$f" || fail "package lacks $f"
done
dpkg-query --showformat='${Conffiles}' -W vezlog | grep -q /etc/vez/registry.reg ||
  fail "the registry file is no conffile"
for d in /var/lib/vez /var/log/vez; do
  [ "$(stat -c %A:%U:%G "$d")" = drwxrws---:root:vez ] || fail "$d is $(stat -c %A:%U:%G "$d")"
done

useradd -M -N -g nogroup -G vez veztest-a
useradd -M -N -g nogroup -G vez veztest-b
useradd -M -N -g nogroup veztest-out
as() { # user, command...
  u=$1
  shift
  setpriv --reuid="$u" --regid=nogroup --init-groups env -u VEZ_REGISTRY TMPDIR=/nonexistent "$@"
}
# waits up to 10 s for a text in a file
wait_for() {
  i=0
  until grep -q "$2" "$1" 2>/dev/null; do
    i=$((i + 1))
    [ $i -lt 200 ] || fail "'$2' never reached $1"
    sleep 0.05
  done
}

# the operator registers the program in the installed registry file
vezreg add 'HKLM\SOFTWARE\Quendrix\VEZ\audit' /v logmsg /t REG_DWORD /d 5 >/dev/null
as veztest-a aud -c || fail "aud -c by a member of the group"
[ "$(stat -c %a:%G /var/lib/vez/datafile.dat)" = 660:vez ] ||
  fail "data file is $(stat -c %a:%G /var/lib/vez/datafile.dat)"

# a process of user b runs on, reading its messages from a FIFO
mkfifo "$work/commands"
as veztest-b logmsg - <"$work/commands" &
running=$!
exec 3>"$work/commands"
echo "error first error of b" >&3
wait_for /var/log/vez/error "Desc:first error of b"
echo "-l 3 audit filtered audit of b" >&3
as veztest-a aud -l 3 5 || fail "aud -l 3 5 by a member of the group"
echo "-l 3 audit audit of b after the change" >&3
wait_for /var/log/vez/logmsg "Desc:audit of b after the change"
grep -q "filtered audit of b" /var/log/vez/logmsg && fail "an audit above the level was written"
as veztest-a logmsg error error of a
grep -q "Desc:error of a" /var/log/vez/error || fail "user a's record is not in the shared log"
as veztest-b vezcat --grep "error of a" | grep -q "Desc:error of a" || fail "vezcat does not read the shared log"
as veztest-b vezcat --kind audit | grep -q "Desc:audit of b after the change" ||
  fail "vezcat does not find the audit log of a registered process"
[ "$(stat -c %a:%G /var/log/vez/error)" = 660:vez ] ||
  fail "error log is $(stat -c %a:%G /var/log/vez/error)"
exec 3>&-
wait $running || fail "user b's process failed"

# outside the group: refused, with the reason
if as veztest-out aud all >"$work/out" 2>"$work/err"; then fail "aud ran for a user outside the group"; fi
grep -q "aud: cannot attach to audit information" "$work/err" || fail "no message: $(cat "$work/err")"
grep -qi "denied" "$work/err" || fail "no reason given: $(cat "$work/err")"
as veztest-out logmsg error error of an outsider || true
grep -q "outsider" /var/log/vez/error && fail "an outsider's record reached the log"

# removal keeps the configuration and the logs; purge removes them
dpkg -r vezlog >/dev/null
[ -f /etc/vez/registry.reg ] && [ -f /var/log/vez/error ] || fail "removal took configuration or logs"
for f in $files; do
  [ -d "$f" ] || [ "$f" = /etc/vez/registry.reg ] || [ ! -e "$f" ] || fail "left behind after removal: $f"
done
dpkg -P vezlog >/dev/null
for f in /etc/vez /var/lib/vez /var/log/vez; do
  [ ! -e "$f" ] || fail "left behind after purge: $f"
done
getent group vez >/dev/null && fail "group vez left behind after purge"
echo "ok: $deb installed, shared by a group, removed and purged"
