#!/bin/sh
# Into the system journal with the real programs: vezcat's export form piped
# into systemd-journal-remote makes a journal file in which journalctl finds
# every record, with its fields and its own time; a following vezcat keeps the
# journal current. Skipped (status 77) without systemd-journal-remote.
#   journal.sh BIN_DIR
set -eu
bin=$1
remote=/lib/systemd/systemd-journal-remote
[ -x "$remote" ] || remote=$(command -v systemd-journal-remote || true)
[ -n "$remote" ] && [ -x "$remote" ] && command -v journalctl >/dev/null ||
  { echo "skipped: systemd-journal-remote is not installed"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vez-journal-XXXXXX")
follower=""
trap '[ -z "$follower" ] || kill $follower 2>/dev/null; wait; rm -rf "$work"' EXIT
export VEZ_REGISTRY=$work/registry.reg TMPDIR=$work
printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"LOGPATH"="%s"\r\n"LOG_DATAFILE"="%s/data.dat"\r\n"LOGNOTIFYDEV"="NUL"\r\n"LOGAUDITLEVEL"=dword:00000005\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\r\n"logmsg"=dword:00000001\r\n' \
  "$work" "$work" > "$VEZ_REGISTRY"
"$bin/aud" -c
fail() {
  echo "FAIL: $1"
  exit 1
}
n=20
i=0
while [ $i -lt $n ]; do
  "$bin/logmsg" -L $i -e 13 -x 00ff4142 error "record $i
its second line"
  "$bin/logmsg" -N logmsg -L $i -l 3 audit "audit $i"
  i=$((i + 1))
done

"$bin/vezcat" -o export | "$remote" -o "$work/all.journal" - 2>"$work/remote.err" ||
  { cat "$work/remote.err"; fail "systemd-journal-remote refused the export"; }
journalctl --file "$work/all.journal" -o json >"$work/all.json"
[ "$(grep -c '"VEZ_KIND":"error"' "$work/all.json")" = $n ] || fail "error records: $(head -3 "$work/all.json")"
[ "$(grep -c '"VEZ_KIND":"audit"' "$work/all.json")" = $n ] || fail "audit records"
# every field of one record, as written
line=$(grep '"CODE_LINE":"7"' "$work/all.json" | grep '"VEZ_KIND":"error"')
for want in '"MESSAGE":"record 7\nits second line"' '"PRIORITY":"3"' '"SYSLOG_IDENTIFIER":"logmsg"' \
  '"ERRNO":"13"' '"VEZ_DATA":"00ff4142"' '"VEZ_LEVEL":"1"' "\"VEZ_LOG\":\"$work/error\""; do
  printf '%s\n' "$line" | grep -qF "$want" || fail "no $want in $line"
done
grep '"VEZ_KIND":"audit"' "$work/all.json" | grep -q '"PRIORITY":"6"' || fail "audit priority"
# the record's own time is the entry's
when=$("$bin/vezcat" -o json -n 1 "$work/error" | sed 's/.*"time":"\([^"]*\)".*/\1/')
want=$(( $(date -d "$when" +%s) * 1000000 ))
journalctl --file "$work/all.journal" -o json -n 1 CODE_LINE=$((n - 1)) VEZ_KIND=error |
  grep -q "\"__REALTIME_TIMESTAMP\":\"$want\"" || fail "the entry's time is not the record's ($want)"

# following: the journal kept current
mkfifo "$work/pipe"
"$remote" -o "$work/live.journal" - <"$work/pipe" >/dev/null 2>&1 &
follower=$!
"$bin/vezcat" -f -n 0 -o export "$work/error" >"$work/pipe" 2>/dev/null &
follower="$follower $!"
sleep 1
"$bin/logmsg" error "arrived later"
i=0
until journalctl --file "$work/live.journal" -o json 2>/dev/null | grep -q '"MESSAGE":"arrived later"'; do
  i=$((i + 1))
  [ $i -lt 100 ] || fail "a record written while following never reached the journal"
  sleep 0.1
done
echo "ok: $n error and $n audit records in the journal with their fields; following kept it current"
