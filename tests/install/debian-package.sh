#!/bin/sh
# Makes the Debian packages (libvezlog3, libvezlog-dev, vezlog) from a release
# build of the sources, as they are shipped, checks them with lintian where it
# is installed (no error, and with --pedantic no hardening tag and no missing
# symbols file), checks the library's exported symbols against its symbols
# file, and
# installs them as an operator would, then uses the host they set up: the
# settings exist and log from the start, even after a plain aud; one logmsg
# call writes one record; two users of the product's group writing flat out
# lose nothing; they share the settings and the error log (one changes an
# audit level with aud, a running process of the other obeys it at its next
# call); a user outside the group is refused. Then removes them (settings,
# logs and registry file stay) and purges them (nothing stays). Needs root,
# dpkg and cpack, and a host where the packages and their files are not
# there yet; otherwise it is skipped (status 77).
#   debian-package.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
skip() {
  echo "skipped: $1"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root"
command -v dpkg >/dev/null && command -v cpack >/dev/null || skip "needs dpkg and cpack"
# a record left by an earlier removal (config-files) is no installed package
packages="vezlog libvezlog-dev libvezlog3"
for p in $packages; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$'; then
    skip "a $p package is installed already; not touching it"
  fi
done
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
  dpkg -P $packages >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $1"
  exit 1
}
# dpkg, waiting (up to five minutes) while another package manager holds its
# lock, as unattended upgrades do on many hosts; other failures show at once
dpkg_waiting() {
  tries=0
  until out=$(dpkg "$@" 2>&1); do
    case $out in
    *"is locked"* | *"was locked"*) [ $tries -lt 300 ] || fail "dpkg stayed locked: $out" ;;
    *) fail "dpkg $*: $out" ;;
    esac
    tries=$((tries + 1))
    sleep 1
  done
}

# the packages are made from a release build (the hardening's fortified calls need an
# optimised build), with the compilers of the build under test
release="$work/release"
compilers=$(sed -n 's/^CMAKE_\(C\|CXX\)_COMPILER:[A-Z]*=\(.*\)/-DCMAKE_\1_COMPILER=\2/p' \
  "$build/CMakeCache.txt")
# shellcheck disable=SC2086
cmake -S "$source" -B "$release" -DCMAKE_BUILD_TYPE=Release -DVEZ_TESTS=OFF -DVEZ_WERROR=ON \
  $compilers >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$release" -j 2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
(cd "$work" && cpack -G DEB --config "$release/CPackConfig.cmake" >/dev/null)
debs=$(ls "$work"/*.deb)
[ "$(echo "$debs" | wc -l)" = 3 ] || fail "packages made: $debs"
if command -v lintian >/dev/null; then
  # shellcheck disable=SC2086
  lintian --fail-on error $debs >"$work/lintian" 2>&1 || { cat "$work/lintian"; fail "lintian errors"; }
  # shellcheck disable=SC2086
  lintian --pedantic --display-info $debs >"$work/pedantic" 2>&1 || true
  if grep -E "hardening-|no-symbols-control-file" "$work/pedantic"; then
    fail "lintian --pedantic finds the binaries unhardened or the symbols file missing"
  fi
else
  echo "lintian is not installed: the packages are not checked with it"
fi
# the library exports what its symbols file lists, no more and no less
lib=$(ls "$release"/lib/libvezlog.so.*.*.*)
if command -v dpkg-gensymbols >/dev/null; then
  dpkg-gensymbols -v"$(basename "$lib" | sed 's/libvezlog.so.//')" -plibvezlog3 -e"$lib" -c4 \
    -I"$source/cmake/debian/lib/symbols" -O/dev/null >"$work/symbols" 2>&1 ||
    { cat "$work/symbols"; fail "the library's symbols differ from its symbols file"; }
fi
if command -v apt-get >/dev/null; then
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 $debs \
    >/dev/null 2>&1 || dpkg_waiting -i $debs
else
  # shellcheck disable=SC2086
  dpkg_waiting -i $debs
fi
files=$(dpkg -L $packages)
for f in /usr/bin/aud /usr/bin/logmsg /usr/bin/vezreg /usr/bin/vezcat /usr/include/vezlog.h \
  /usr/share/man/man1/aud.1.gz /etc/vez/registry.reg /usr/lib/libvezlog.so.3 /usr/lib/libvezlog.a \
  /usr/share/doc/libvezlog3/copyright /usr/share/doc/vezlog/changelog.gz \
  /lib/systemd/system/vezlog-seal.timer /lib/systemd/system/vezlog-seal.service; do
  echo "$files" | grep -qx "$f" || fail "packages lack $f"
done
dpkg -L vezlog | grep -q include && fail "headers in the tools package"
dpkg -L libvezlog3 | grep -q '\.a$' && fail "the static library in the runtime package"
dpkg-query --showformat='${Conffiles}' -W vezlog | grep -q /etc/vez/registry.reg ||
  fail "the registry file is no conffile"
for d in /var/lib/vez /var/log/vez; do
  [ "$(stat -c %A:%U:%G "$d")" = drwxrws---:root:vez ] || fail "$d is $(stat -c %A:%U:%G "$d")"
done
# the timer that closes the sealing intervals is enabled (where the system's helper is there)
if command -v deb-systemd-helper >/dev/null; then
  [ -L /etc/systemd/system/timers.target.wants/vezlog-seal.timer ] ||
    fail "the sealing timer is not enabled"
fi

# the settings exist from the installation on, as the configured defaults: logging is on
[ "$(stat -c %s:%a:%G /var/lib/vez/datafile.dat)" = 1052:660:vez ] ||
  fail "data file is $(stat -c %s:%a:%G /var/lib/vez/datafile.dat 2>&1)"
aud >/dev/null || fail "a plain aud after the installation"
aud | grep -q "Level               = 1" || fail "error logging is off after installation"

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

# sealing set up by root, as README says: the state is the group's to use, no one else's
key=$(vezcat --setup-keys --interval=1h | tail -n 1)
[ "$(stat -c %a:%G /var/lib/vez/sealing.dat)" = 660:vez ] ||
  fail "sealing state is $(stat -c %a:%G /var/lib/vez/sealing.dat)"
[ "$(stat -c %a:%G /var/lib/vez/sealing.closes)" = 660:vez ] ||
  fail "the closes are $(stat -c %a:%G /var/lib/vez/sealing.closes)"
# what the timer runs, as root: nothing to close yet, and it says nothing
[ -z "$(vezcat --seal)" ] || fail "vezcat --seal said something with nothing to close"
# one logmsg call, one record: logmsg is registered by the package
as veztest-a logmsg error one call || fail "logmsg by a member of the group"
[ "$(grep -c '^------' /var/log/vez/error)" = 1 ] || fail "one call wrote: $(cat /var/log/vez/error)"
# two members writing flat out lose nothing: the package's lock wait
as veztest-a logmsg -c -r 400 error flat out a 2>"$work/a.err" &
as veztest-b logmsg -c -r 400 error flat out b 2>"$work/b.err"
wait $!
for w in a b; do
  grep -q "lock_held 0 " "$work/$w.err" || fail "writer $w lost records: $(cat "$work/$w.err")"
  [ "$(grep -c "Desc:flat out $w" /var/log/vez/error)" = 400 ] || fail "writer $w: records missing"
done

# the operator registers the program under another index in the installed registry file
vezreg add 'HKLM\SOFTWARE\Quendrix\VEZ\audit' /v logmsg /t REG_DWORD /d 5 /f >/dev/null
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
# the commands are carried out in order: once the next one is, the filtered one was
echo "error after the filtered audit" >&3
wait_for /var/log/vez/error "Desc:after the filtered audit"
as veztest-a aud -l 3 5 || fail "aud -l 3 5 by a member of the group"
echo "-l 3 audit audit of b after the change" >&3
wait_for /var/log/vez/logmsg "Desc:audit of b after the change"
grep -q "filtered audit of b" /var/log/vez/logmsg && fail "an audit above the level was written"
as veztest-a logmsg error error of a
grep -q "Desc:error of a" /var/log/vez/error || fail "user a's record is not in the shared log"
as veztest-b vezcat --grep "error of a" | grep -q "Desc:error of a" || fail "vezcat does not read the shared log"
as veztest-b vezcat --verify --verify-key="$key" /var/log/vez/error >"$work/verify" ||
  fail "the members' records do not verify: $(cat "$work/verify")"
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
dpkg_waiting -r $packages
[ -f /etc/vez/registry.reg ] && [ -f /var/log/vez/error ] || fail "removal took configuration or logs"
for f in $files; do
  [ -d "$f" ] || [ "$f" = /etc/vez/registry.reg ] || [ ! -e "$f" ] || fail "left behind after removal: $f"
done
# an operator's own files there survive the purge, and are named; the rest goes
echo "the operator's notes" >/var/log/vez/notes.txt
echo "an exported report" >/var/lib/vez/report.csv
ls /var/log/vez/error.lok /var/log/vez/error >/dev/null || fail "no log and lock file before purge"
purge_out=$(dpkg -P $packages 2>&1) || fail "purge: $purge_out"
echo "$purge_out" | grep -q "not its own: /var/lib/vez/report.csv /var/log/vez/notes.txt" ||
  fail "purge did not name what it kept: $purge_out"
[ "$(ls -A /var/log/vez)" = notes.txt ] || fail "purge left in /var/log/vez: $(ls -A /var/log/vez)"
[ "$(ls -A /var/lib/vez)" = report.csv ] || fail "purge left in /var/lib/vez: $(ls -A /var/lib/vez)"
rm -r /var/lib/vez /var/log/vez
[ ! -e /etc/vez ] || fail "left behind after purge: /etc/vez"
getent group vez >/dev/null && fail "group vez left behind after purge"
echo "ok: $(echo $debs | wc -w) packages installed, shared by a group, removed and purged"
