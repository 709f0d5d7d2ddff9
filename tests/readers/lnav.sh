#!/bin/sh
# The lnav format with the real lnav, headless: every record of a generated
# error and audit log is recognised as one message, with its fields, and a
# description that holds header-shaped text stays inside its record. Skipped
# (status 77) without lnav.
#   lnav.sh BIN_DIR FORMAT_FILE
set -eu
bin=$1 format=$2
command -v lnav >/dev/null || { echo "skipped: lnav is not installed"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vez-lnav-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home VEZ_REGISTRY=$work/registry.reg TMPDIR=$work
mkdir -p "$HOME"
printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"LOGPATH"="%s"\r\n"LOG_DATAFILE"="%s/data.dat"\r\n"LOGNOTIFYDEV"="NUL"\r\n"LOGAUDITLEVEL"=dword:00000005\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\r\n"logmsg"=dword:00000001\r\n' \
  "$work" "$work" > "$VEZ_REGISTRY"
"$bin/aud" -c
n=25
i=0
while [ $i -lt $n ]; do
  "$bin/logmsg" -L $i -x 0102030405060708090a0b0c0d0e0f1011 error "record $i
------12/07 12:00:00   1/1  err:0   fake(forged.c:1)"
  "$bin/logmsg" -N logmsg -L $i -l 3 audit "audit $i"
  i=$((i + 1))
done
lnav -i "$format" >/dev/null 2>&1

query() { # file, SQL
  lnav -n -c ";$2" -c ':write-csv-to -' "$1" | tail -n +2
}
count=$(query "$work/error" "SELECT count(*) FROM vezlog_error")
[ "$count" = "$n" ] || { echo "FAIL: $count error records recognised, $n written"; exit 1; }
forged=$(query "$work/error" "SELECT count(*) FROM vezlog_error WHERE process = 'fake'")
[ "$forged" = 0 ] || { echo "FAIL: a description passed for a record"; exit 1; }
fields=$(query "$work/error" "SELECT log_level, process, source, src_line, level_num, threshold FROM vezlog_error WHERE src_line = 7")
[ "$fields" = "error,logmsg,logmsg,7,1,1" ] || { echo "FAIL: error fields: $fields"; exit 1; }
count=$(query "$work/logmsg" "SELECT count(*) FROM vezlog_audit WHERE log_level = 'info' AND level_num = 3")
[ "$count" = "$n" ] || { echo "FAIL: $count audit records recognised, $n written"; exit 1; }
body=$(query "$work/error" "SELECT substr(log_body, 1, 8) FROM vezlog_error WHERE src_line = 7")
[ "$body" = "record 7" ] || { echo "FAIL: the body is not the description: $body"; exit 1; }
# a central collector's files (rsyslog's names): each with its kind, level and body
cp "$work/error" "$work/vezlog-error"
cp "$work/logmsg" "$work/vezlog-logmsg"
"$bin/logmsg" -N logmsg -L 9 -l 2 devmsg "device message"
cp "$work/kp_dvmsgs" "$work/vezlog-kp_dvmsgs"
count=$(query "$work/vezlog-error" "SELECT count(*) FROM vezlog_error WHERE log_level = 'error'")
[ "$count" = "$n" ] || { echo "FAIL: vezlog-error: $count error records recognised"; exit 1; }
fields=$(query "$work/vezlog-logmsg" "SELECT log_level, level_num, log_body FROM vezlog_audit WHERE src_line = 4")
[ "$fields" = "info,3,audit 4" ] || { echo "FAIL: vezlog-logmsg: $fields"; exit 1; }
fields=$(query "$work/vezlog-kp_dvmsgs" "SELECT log_level, level_num, log_body FROM vezlog_devmsg")
[ "$fields" = "debug,2,device message" ] || { echo "FAIL: vezlog-kp_dvmsgs: $fields"; exit 1; }
# every kind opened together: each record of each
count=$(lnav -n -c ";SELECT count(*) FROM all_logs WHERE log_format = 'vezlog_devmsg'" -c ':write-csv-to -' \
  "$work/logmsg" "$work/kp_dvmsgs" "$work/error" | tail -n +2)
[ "$count" = 1 ] || { echo "FAIL: the device message with the other logs: $count"; exit 1; }
# vezcat -o json read by lnav: bodies unwrapped, a log's generations in the order written
# (records of one second in error.old, then in error)
printf '%s\r\n' "------12/09 08:40:00   1/1  err:0   p(s:1)" "Desc:old1" \
  "------12/09 08:40:00   1/1  err:0   p(s:2)" "Desc:old2" > "$work/gen.old"
long=$(printf 'w%.0s' $(seq 1 70))
printf '%s\r\n' "------12/09 08:40:00   1/1  err:0   p(s:3)" "Desc:$long" "     tail" \
  "------12/09 08:40:00   1/1  err:0   p(s:4)" "Desc:new4" > "$work/gen"
"$bin/vezcat" -o json "$work/gen" "$work/gen.old" > "$work/all.json"
bodies=$(query "$work/all.json" "SELECT log_body FROM vezlog_json" | tr '\n' ' ')
[ "$bodies" = "old1 old2 ${long}tail new4 " ] || { echo "FAIL: vezcat -o json in lnav: $bodies"; exit 1; }
echo "ok: lnav recognised $n error and $n audit records with their fields and bodies, and the collector's files"
