#!/bin/sh
# The shipped rsyslog configuration with two real rsyslogd on the loopback
# interface: one reads the logs and forwards them, the other gathers them.
# Two writers log records across many rotations; every record arrives at the
# central side exactly once and whole. Skipped (status 77) without rsyslogd.
#   rsyslog.sh BIN_DIR SHARE_DIR
set -eu
bin=$1 share=$2
command -v rsyslogd >/dev/null || { echo "skipped: rsyslogd is not installed"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vez-rsyslog-XXXXXX")
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${VEZ_KEEP:-}" ] && trap - EXIT
mkdir -p "$work/logs" "$work/central" "$work/forward-spool" "$work/central-spool"
# a free port of the loopback interface
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# the shipped files, with this test's paths, host and port
sed -e "s|/var/log/vez/|$work/logs/|g" -e "s|central.example|127.0.0.1|" -e "s|10514|$port|" \
  "$share/vezlog-forward.conf" > "$work/forward.conf"
sed -i "1i global(workDirectory=\"$work/forward-spool\")" "$work/forward.conf"
sed -e "s|/var/log/vez-central/|$work/central/|" -e "s|0.0.0.0|127.0.0.1|" -e "s|10514|$port|" \
  "$share/vezlog-central.conf" > "$work/central.conf"
sed -i "1i global(workDirectory=\"$work/central-spool\")" "$work/central.conf"
rsyslogd -n -f "$work/central.conf" -i "$work/central.pid" 2>"$work/central.err" &
pids="$pids $!"
rsyslogd -n -f "$work/forward.conf" -i "$work/forward.pid" 2>"$work/forward.err" &
pids="$pids $!"
sleep 1

export VEZ_REGISTRY=$work/registry.reg TMPDIR=$work
printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"LOGPATH"="%s/logs"\r\n"LOG_DATAFILE"="%s/data.dat"\r\n"LOGNOTIFYDEV"="NUL"\r\n"LOGLOCKWAIT"=dword:000003e8\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\r\n"logmsg"=dword:00000001\r\n' \
  "$work" "$work" > "$VEZ_REGISTRY"
"$bin/aud" -c
"$bin/aud" -n off -e 4 # a 2 KiB limit: a rotation every few records
n=300
writer() { # name
  i=0
  while [ $i -lt $n ]; do
    "$bin/logmsg" -x 000102030405060708090a0b0c0d0e0f10 error "$1 $i
second line of $1 $i"
    sleep 0.005
    i=$((i + 1))
  done
}
writer a & wa=$!
writer b & wb=$!
wait $wa $wb

# every record at the central side, within 30 s
central=$(find "$work/central" -name vezlog-error -type f 2>/dev/null | head -1)
i=0
while :; do
  got=0
  [ -n "$central" ] && got=$("$bin/vezcat" "$central" 2>/dev/null | grep -c '^Desc:[ab] ' || true)
  [ "$got" -ge $((2 * n)) ] || [ $i -ge 300 ] && break
  sleep 0.1
  i=$((i + 1))
  central=$(find "$work/central" -name vezlog-error -type f 2>/dev/null | head -1)
done
[ -n "$central" ] || { echo "FAIL: nothing arrived"; cat "$work/forward.err"; exit 1; }
"$bin/vezcat" --json "$central" > "$work/records.json" 2>"$work/vezcat.err"
descs=$(grep -o '"description":"[ab] [0-9]*\\nsecond line of [ab] [0-9]*"' "$work/records.json" | sort)
total=$(printf '%s\n' "$descs" | grep -c . || true)
unique=$(printf '%s\n' "$descs" | sort -u | grep -c . || true)
[ "$total" = $((2 * n)) ] && [ "$unique" = $((2 * n)) ] ||
  { echo "FAIL: $total records arrived, $unique distinct, of $((2 * n))"; exit 1; }
grep -q damaged "$work/vezcat.err" && { echo "FAIL: torn records arrived"; exit 1; }
grep -q '"damaged":"' "$work/records.json" && { echo "FAIL: torn records arrived"; exit 1; }
echo "ok: $((2 * n)) of $((2 * n)) records arrived exactly once and whole, across many rotations"
