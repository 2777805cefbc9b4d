#!/bin/sh
# The installed-style service on the virtual board: hidbridge-vboard runs the unmodified
# hidbridged binary with a settings file, hidbridgectl drives it, and the launcher reports
# what the host saw and typed. Then how the service ends, and its other modes.
#   hidbridged_vboard_test.sh LAUNCHER HIDBRIDGED HIDBRIDGECTL
set -u
launcher=$1
daemon=$2
ctl=$3
out=$(mktemp -d)
pid=
holder=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; [ -n "$holder" ] && kill $holder 2>/dev/null; rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; echo "--- output"; cat "$out/stdout"; exit 1; }

sock=$out/run/control.sock
cat >"$out/hidbridge.ini" <<INI
[control]
socket = $sock
group = $(id -gn)
[keyboard]
layout = de
INI

start() {
  "$launcher" --keyboard 0 --mouse 1 --panel "$out/panel.png" -- "$daemon" --config "$out/hidbridge.ini" \
    >"$out/stdout" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    grep -q '^hidbridged: forwarding' "$out/stdout" && break
    sleep 0.1
  done
  [ -S "$sock" ] || fail "no socket"
}
# The exit status of the service, once it has ended by itself (within 20 s).
ended() {
  for _ in $(seq 200); do
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  kill -0 $pid 2>/dev/null && fail "the service did not end"
  wait $pid
  rc=$?
  pid=
}

start
[ "$(stat -c %a "$sock")" = 660 ] || fail "socket mode $(stat -c %a "$sock")"

# The German layout from the file: the host (read as US) gets Y for z and Z for y.
r=$("$ctl" --socket "$sock" type zwei yaks) || fail "type: $r"
[ "$r" = ok ] || fail "type replied $r"
r=$("$ctl" --socket "$sock" key press nosuch)
[ $? -eq 1 ] && [ "$r" = "err unknown key 'nosuch'" ] || fail "an unknown key: $r"
r=$(printf 'status\nkey down leftshift\nkey press enter\n' | "$ctl" --socket "$sock") || fail "stdin: $r"
# inputs: the board's keyboard and mouse, whatever this PC has in /dev/input.
echo "$r" | grep -q '^ok version=.* host=configured inputs=2 layout=de clients=1 leds=none$' || fail "status: $r"
# The Shift that client held is gone with it: the next letter is small.
r=$("$ctl" --socket "$sock" type a) || fail "type a: $r"

# SIGHUP (a clean exit to systemd) with a client holding a key and a button: released, and
# the socket gone, like after SIGTERM.
mkfifo "$out/in"
"$ctl" --socket "$sock" <"$out/in" >"$out/holder" &
holder=$!
exec 3>"$out/in"
printf 'key down b\nbutton down left\n' >&3
for _ in $(seq 100); do
  [ "$(grep -c '^ok$' "$out/holder")" = 2 ] && break
  sleep 0.1
done
grep 'host sees' "$out/stdout" | tail -1 | grep -q 'keys \[b\]  buttons L--' || fail "the holder's key and button"
kill -HUP $pid
ended
exec 3>&-
holder=
[ $rc -eq 129 ] || fail "exit status $rc after SIGHUP"
grep -q '^hidbridged: stopped$' "$out/stdout" || fail "the service did not stop by itself"
[ ! -e "$sock" ] || fail "the socket was left behind"
grep 'host sees' "$out/stdout" | tail -1 | grep -q 'keys \[\]  buttons ---' || fail "left held on the host"
[ "$(tail -1 "$out/stdout")" = 'host typed: "ywei zaks\nab"' ] || fail "last line"
[ "$(head -c 8 "$out/panel.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "panel PNG"

# A loop that fails ends the service with a failure status, for the supervisor to restart
# it: here poll, once the process may have only one descriptor.
start
prlimit --pid $pid --nofile=1: || fail "prlimit"
timeout 10 "$ctl" --socket "$sock" status >/dev/null 2>&1
ended
[ $rc -eq 1 ] || fail "exit status $rc after a failed poll"

# The modes around the service.
"$launcher" -- "$daemon" --detach >"$out/stdout" 2>&1 || fail "--detach on the virtual board"
"$daemon" --detach >"$out/stdout" 2>&1
[ $? -eq 1 ] || fail "--detach without a chip"
"$daemon" --check --config "$out/hidbridge.ini" >"$out/stdout" 2>&1 || fail "--check of a valid file"
printf '[control]\nsokcet = /x\n' >"$out/bad.ini"
"$daemon" --check --config "$out/bad.ini" >"$out/stdout" 2>&1
[ $? -eq 1 ] || fail "--check of a misspelt key"
grep -q 'line 2: \[control\] unknown key "sokcet"' "$out/stdout" || fail "the misspelt key not named"
"$daemon" --check --config "$out/none.ini" >"$out/stdout" 2>&1
[ $? -eq 1 ] || fail "--check of a missing file"
for p in "$daemon" "$ctl"; do
  "$p" --help >"$out/stdout" 2>&1 && grep -q '^usage: ' "$out/stdout" || fail "$p --help"
  [ "$("$p" --version)" = "$(basename "$p") 1.0.0" ] || fail "$p --version"
done
echo "ok: hidbridged on the virtual board"
