#!/bin/sh
# Runs hidbridge-vboard on unmodified application binaries and checks what it reports.
#   vboard_test.sh CASE LAUNCHER APP DATA-DIR [STATIC-APP]
set -u
case_name=$1
launcher=$2
app=$3
data=$4
static_app=${5:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; echo "--- output"; cat "$out/stdout"; exit 1; }

case $case_name in
forward_replay)
  # The board's own example, which never ends by itself, with a keyboard recording on port 0.
  timeout 60 "$launcher" --replay "0:$data/keyboard_hello_world.evemu" --quit-after-replay \
    --panel "$out/panel.png" --pcap "$out/bus.pcap" -- "$app" >"$out/stdout" 2>&1
  rc=$?
  [ $rc -eq 0 ] || fail "exit status $rc"
  [ "$(tail -1 "$out/stdout")" = 'host typed: "hello world"' ] || fail "last line"
  grep -q '^forwarding keyboards and mice to the host$' "$out/stdout" || fail "the application did not run"
  for k in h e l o w r d; do
    grep -q "^host sees: keys \[$k\]  buttons ---  pointer (0, 0)  wheel 0$" "$out/stdout" || fail "no line for $k"
  done
  # The PNG signature, and a pcap of link type 220 (usbmon) with more than its header.
  [ "$(head -c 8 "$out/panel.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "panel PNG"
  [ "$(od -An -tu4 -j20 -N4 "$out/bus.pcap" | tr -d ' ')" = 220 ] || fail "pcap link type"
  [ "$(wc -c <"$out/bus.pcap")" -gt 1000 ] || fail "pcap holds no traffic"
  ;;
own_application)
  timeout 60 "$launcher" -- "$app" >"$out/stdout" 2>&1
  rc=$?
  [ $rc -eq 3 ] || fail "exit status $rc, not the application's 3"
  grep -q '^application: 0 calls not collected$' "$out/stdout" || fail "the application's calls"
  grep -q '^host sees: keys \[\]  buttons ---  pointer (30, -20)  wheel 0$' "$out/stdout" || fail "pointer"
  grep -q '^host sees: keys \[LShift h\]' "$out/stdout" || fail "Shift+H"
  [ "$(tail -1 "$out/stdout")" = 'host typed: "Hi!\n"' ] || fail "last line"
  # Started through a shell: the shell stays without a board, the application gets it.
  timeout 60 "$launcher" -- sh -c "\"$app\"; echo shell after \$?" >"$out/stdout" 2>&1
  rc=$?
  [ $rc -eq 0 ] || fail "exit status $rc through a shell"
  [ "$(grep -c '^virtual board: ' "$out/stdout")" -eq 1 ] || fail "one board"
  grep -q '^host typed: "Hi!\\n"$' "$out/stdout" || fail "typed through a shell"
  [ "$(tail -1 "$out/stdout")" = 'shell after 3' ] || fail "the shell's last line"
  ;;
signal)
  # Interrupted while the application runs: the summary still comes, and the launcher ends by
  # the signal itself, as the application would on the board (python tells that from exit 143).
  rc=$(python3 - "$out/stdout" "$launcher" --keyboard 1 --mouse 2 -- "$app" <<'PY'
import signal, subprocess, sys, time
out = sys.argv[1]
p = subprocess.Popen(sys.argv[2:], stdout=open(out, "w"), stderr=subprocess.STDOUT)
for _ in range(100):
    if "forwarding keyboards" in open(out).read():
        break
    time.sleep(0.1)
p.send_signal(signal.SIGTERM)
print(p.wait())
PY
)
  [ "$rc" = -15 ] || fail "ended with $rc after SIGTERM, not by the signal"
  grep -q 'keyboard on event1, mouse on event2' "$out/stdout" || fail "ports"
  [ "$(tail -1 "$out/stdout")" = 'host typed: ""' ] || fail "last line"
  ;;
board_ends_run)
  # The board ends the run with SIGTERM first: the application's clean-up runs and its status
  # is the launcher's.
  # (It blocks SIGTERM until it waits for it, so the limit may come while it starts.)
  timeout 60 "$launcher" --keyboard 0 --time-limit 1 -- "$app" wait >"$out/stdout" 2>&1
  rc=$?
  [ $rc -eq 4 ] || fail "exit status $rc, not the application's 4"
  grep -q '^application: cleaned up$' "$out/stdout" || fail "no clean-up"
  [ "$(tail -1 "$out/stdout")" = 'host typed: ""' ] || fail "last line"
  # One that goes on after SIGTERM is ended after a moment, with the summary.
  timeout 60 "$launcher" --keyboard 0 --time-limit 1 -- "$app" stay >"$out/stdout" 2>&1
  rc=$?
  [ $rc -eq 0 ] || fail "exit status $rc when the board ended a stubborn application"
  grep -q '^application: SIGTERM$' "$out/stdout" || fail "SIGTERM not sent"
  grep -q '^vboard: the application did not end within 3 s of SIGTERM$' "$out/stdout" || fail "not ended"
  [ "$(tail -1 "$out/stdout")" = 'host typed: ""' ] || fail "last line after a stubborn one"
  ;;
forward_device)
  # A live event device of the PC, here a FIFO that this script writes input_event records to.
  mkfifo "$out/event"
  "$launcher" --forward "0:$out/event" -- "$app" >"$out/stdout" 2>&1 &
  pid=$!
  exec 3>"$out/event" # returns once the board has opened it
  for _ in $(seq 100); do
    grep -q '^forwarding keyboards' "$out/stdout" && break
    sleep 0.1
  done
  # Keys pressed and released, each followed by SYN_REPORT (struct input_event, native).
  keys() {
    python3 -c '
import struct, sys
for code in sys.argv[1:]:
    for value in (1, 0):
        sys.stdout.buffer.write(struct.pack("@llHHi", 0, 0, 1, int(code), value))
        sys.stdout.buffer.write(struct.pack("@llHHi", 0, 0, 0, 0, 0))
' "$@" >&3
  }
  until_line() {
    for _ in $(seq 100); do
      grep -q "$1" "$out/stdout" && return
      sleep 0.1
    done
  }
  # Caps Lock, o, then Caps Lock, k, Enter. The host sends its Caps Lock back as the LED report,
  # and the library lights the keyboard's LED: each seen before the next Caps Lock.
  keys 58 24
  until_line '^vboard: event0 LEDs: caps$'
  keys 58 37 28
  until_line '^vboard: event0 LEDs: none$'
  for _ in $(seq 100); do
    awk '/keys \[0x28\]/ {e = 1} e && /keys \[\]/ {f = 1} END {exit !f}' "$out/stdout" && break
    sleep 0.1
  done
  exec 3>&- # the device goes away
  for _ in $(seq 100); do
    grep -q 'went away; port 0 unplugged' "$out/stdout" && break
    sleep 0.1
  done
  kill -TERM $pid
  wait $pid
  grep -q "on event0" "$out/stdout" || fail "port 0 not fed by the device"
  grep -q 'went away; port 0 unplugged' "$out/stdout" || fail "the device's end"
  [ "$(tail -1 "$out/stdout")" = 'host typed: "Ok\n"' ] || fail "last line"
  [ "$(grep 'LEDs: ' "$out/stdout" | tr '\n' '|')" = \
    'host LEDs: caps|vboard: event0 LEDs: caps|host LEDs: none|vboard: event0 LEDs: none|' ] || fail "keyboard LEDs"
  ;;
bad_options)
  for args in "--keyboard 5 -- $app" "--replay 0 -- $app" "--keyboard 1 --mouse 1 -- $app" \
              "--quit-after-replay -- $app" "--time-limit x -- $app" "--keyboard 0" \
              "--replay 0:$out/missing.evemu -- $app" "--time-limit 4294968 -- $app"; do
    # shellcheck disable=SC2086
    "$launcher" $args >"$out/stdout" 2>&1
    rc=$?
    [ $rc -eq 2 ] || fail "'$args' gave status $rc, not 2"
    grep -q '^hidbridge-vboard: ' "$out/stdout" || fail "'$args' said no reason"
  done
  # Refused before anything runs: a recording that cannot be played, a statically linked
  # program (nothing can be preloaded into it; it would drive this PC's own GPIO).
  printf 'E: 0.000000 0001 001e 1\nE: 0.5 0000 0000 0\n' >"$out/bad.evemu"
  for args in "--replay 0:$out/bad.evemu -- echo started" "--keyboard 0 -- $static_app"; do
    # shellcheck disable=SC2086
    "$launcher" $args >"$out/stdout" 2>&1
    rc=$?
    [ $rc -eq 2 ] || fail "'$args' gave status $rc, not 2"
    grep -q '^hidbridge-vboard: ' "$out/stdout" || fail "'$args' said no reason"
    ! grep -q 'started' "$out/stdout" || fail "'$args' started the program"
  done
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "ok: $case_name"
