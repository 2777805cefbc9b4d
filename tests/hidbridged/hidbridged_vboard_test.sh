#!/bin/sh
# The installed-style service on the virtual board: hidbridge-vboard runs the unmodified
# hidbridged binary with a settings file, hidbridgectl drives it, and the launcher reports
# what the host typed.
#   hidbridged_vboard_test.sh LAUNCHER HIDBRIDGED HIDBRIDGECTL
set -u
launcher=$1
daemon=$2
ctl=$3
out=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; echo "--- output"; cat "$out/stdout"; exit 1; }

sock=$out/run/control.sock
cat >"$out/hidbridge.ini" <<INI
[control]
socket = $sock
group = $(id -gn)
[keyboard]
layout = de
INI

"$launcher" --keyboard 0 --mouse 1 --panel "$out/panel.png" -- "$daemon" --config "$out/hidbridge.ini" \
  >"$out/stdout" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q '^hidbridged: control socket' "$out/stdout" && break
  sleep 0.1
done
[ -S "$sock" ] || fail "no socket"
[ "$(stat -c %a "$sock")" = 660 ] || fail "socket mode $(stat -c %a "$sock")"

# The German layout from the file: the host (read as US) gets Y for z and Z for y.
r=$("$ctl" --socket "$sock" type zwei yaks) || fail "type: $r"
[ "$r" = ok ] || fail "type replied $r"
r=$("$ctl" --socket "$sock" key press nosuch)
[ $? -eq 1 ] && [ "$r" = "err unknown key 'nosuch'" ] || fail "an unknown key: $r"
r=$(printf 'status\nkey down leftshift\nkey press enter\n' | "$ctl" --socket "$sock") || fail "stdin: $r"
echo "$r" | grep -q '^ok version=.* host=configured .*layout=de clients=1$' || fail "status: $r"
# The Shift that client held is gone with it: the next letter is small.
r=$("$ctl" --socket "$sock" type a) || fail "type a: $r"

kill -TERM $pid
wait $pid
rc=$?
pid=
[ $rc -eq 143 ] || fail "exit status $rc after SIGTERM"
grep -q '^hidbridged: stopped$' "$out/stdout" || fail "the service did not stop by itself"
[ ! -e "$sock" ] || fail "the socket was left behind"
[ "$(tail -1 "$out/stdout")" = 'host typed: "ywei zaks\na"' ] || fail "last line"
[ "$(head -c 8 "$out/panel.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "panel PNG"
echo "ok: hidbridged on the virtual board"
