#!/usr/bin/env bash
# What the gateway's children and files are allowed, measured against the
# simulated unit (a round every 0.1 s):
#   1. the stop: seconds from SIGTERM to the gateway's exit while the
#      notification program hangs and ignores SIGTERM (timeout_s 30) and
#      about 30 alarm changes wait to be told;
#   2. the descriptors that a notification program finds open (a Python
#      program lists /proc/self/fd, leaving out its own listing's);
#   3. the bytes of the gateway's log (standard error) after 10
#      notifications whose program prints 10 MB each;
#   4. the modes of the history and its WAL and SHM files while the
#      gateway writes them, started under umask 0;
#   5. "history": "/dev/null" with --rounds 2: the exit status, and whether
#      a /dev/null-journal was left behind (removed again when it was).
# Usage: bench/children_paths.sh [BUILD_DIR] [STEPS]
#        (defaults: build, 12345: every measurement)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
steps=${2:-12345}
want() { [[ $steps == *$1* ]]; }
gateway=$build/gateway/norvane-gateway
work=$(mktemp -d "$build/children-bench.XXXXXX")
# shellcheck source=unit.sh
. "$root/bench/unit.sh"
gateway_pid=
broker_pid=
cleanup() {
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null
  [ -n "$gateway_pid" ] && kill -KILL "$gateway_pid" 2>/dev/null && wait "$gateway_pid" 2>/dev/null
  stop_unit
  rm -rf "$work"
}

# The water alarm raised and cleared every 0.2 s for 8 s: 40 changes.
for i in $(seq 1 40); do
  echo "$(awk -v i="$i" 'BEGIN { print i / 5 }') floor_water $([ $((i % 2)) -eq 1 ] && echo on || echo off)"
done >"$work/scenario.txt"
start_unit --scenario "$work/scenario.txt"

write_config() {  # notify's exec (a JSON array), the history's path, more fields
  cat >"$work/gateway.json" <<CONFIG
{"plugin": "$build/plugin/norvane.so", "history": "${2:-$work/history.db}", "interval_s": 0.1 ${3:-},
 "bus": {"port": "$pty"}, "control": {"socket": "$work/gateway.sock"},
 "notify": {"exec": $1, "timeout_s": 30},
 "units": [{"name": "ac1", "slave": 1, "data_id": 1,
            "settings": {"appSetting": {"b_mode": "2"}}, "alarm_levels": {"120800150010": 3}}]}
CONFIG
}
now() { date +%s.%N; }

if want 1; then
# 1. A program that ignores SIGTERM and hangs.
printf '#!/bin/sh\ntrap "" TERM\nwhile :; do sleep 1; done\n' >"$work/hang"
chmod 755 "$work/hang"
write_config "[\"$work/hang\"]"
"$gateway" --config "$work/gateway.json" >"$work/stop.out" 2>"$work/stop.err" &
gateway_pid=$!
sleep 7
term_at=$(now)
kill -TERM "$gateway_pid"
for _ in $(seq 1800); do kill -0 "$gateway_pid" 2>/dev/null || break; sleep 0.1; done
exit_at=$(now)
wait "$gateway_pid"
gateway_pid=
echo "stop: $(awk -v a="$term_at" -v b="$exit_at" 'BEGIN { printf "%.2f", b - a }') s from SIGTERM to exit" \
  "with a program that hangs and ignores SIGTERM;" \
  "$(grep -o 'notify: [0-9]* alarm changes not told[^;]*' "$work/stop.err" || echo 'no changes counted as not told')"
stop_unit
start_unit --scenario "$work/scenario.txt"
fi

if want 2; then
# 2. The descriptors a notification program finds open.
cat >"$work/fds" <<'PROGRAM'
#!/usr/bin/python3
import os, sys
targets = []
for name in sorted(os.listdir("/proc/self/fd"), key=int):
    try:
        targets.append(name + ":" + os.readlink("/proc/self/fd/" + name))
    except FileNotFoundError:
        pass  # the listing's own, closed by now
with open(sys.argv[1], "w") as out:
    out.write(" ".join(targets) + "\n")
PROGRAM
chmod 755 "$work/fds"
# A broker of its own on a free port, so that the gateway holds a live
# connection to it; the gateway itself starts with descriptors 0 to 2 only.
broker_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" >"$work/broker.conf"
/usr/sbin/mosquitto -c "$work/broker.conf" 2>"$work/broker.log" &
broker_pid=$!
sleep 0.5
write_config "[\"$work/fds\", \"$work/fds.txt\"]" "" \
  ", \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": $broker_port}, \"http\": {\"listen\": \"127.0.0.1:0\"}"
(exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- 10>&- 251>&- 255>&-
  exec "$gateway" --config "$work/gateway.json" --rounds 30 >/dev/null 2>"$work/fds.err")
kill "$broker_pid"
wait "$broker_pid" 2>/dev/null
broker_pid=
if [ -s "$work/fds.txt" ]; then
  echo "descriptors: a notification program finds $(wc -w <"$work/fds.txt") open: $(cat "$work/fds.txt")"
else
  echo "descriptors: the program did not run: $(tail -3 "$work/fds.err")"
fi
stop_unit
start_unit --scenario "$work/scenario.txt"
fi

if want 3; then
# 3. 10 notifications from a program that prints 10 MB each.
printf '#!/bin/sh\nyes 0123456789abcdef | head -c 10000000\n' >"$work/printer"
chmod 755 "$work/printer"
write_config "[\"$work/printer\"]"
"$gateway" --config "$work/gateway.json" >/dev/null 2>"$work/printer.err" &
gateway_pid=$!
for _ in $(seq 600); do
  [ "$(grep -c 'notify ac1 ' "$work/printer.err")" -ge 10 ] && break
  sleep 0.1
done
kill -TERM "$gateway_pid"
wait "$gateway_pid"
gateway_pid=
runs=$(grep -c 'notify ac1 ' "$work/printer.err")
echo "output: $(stat -c %s "$work/printer.err") bytes in the log after $runs runs of a 10 MB printer"
stop_unit
start_unit
fi

if want 4; then
# 4. The modes of the history's files, made under umask 0.
rm -f "$work/history.db"*
write_config "[\"/bin/true\"]"
(umask 0 && exec "$gateway" --config "$work/gateway.json" >/dev/null 2>"$work/modes.err") &
gateway_pid=$!
for _ in $(seq 100); do [ -e "$work/history.db-shm" ] && break; sleep 0.1; done
sleep 0.5
modes=$(cd "$work" && stat -c '%n %a' history.db history.db-wal history.db-shm | tr '\n' ' ')
kill -TERM "$gateway_pid"
wait "$gateway_pid"
gateway_pid=
echo "modes under umask 0: $modes"
fi

if want 5; then
# 5. /dev/null as the history.
existed=$([ -e /dev/null-journal ] && echo yes || echo no)
write_config "[\"/bin/true\"]" /dev/null
"$gateway" --config "$work/gateway.json" --rounds 2 >"$work/null.out" 2>"$work/null.err"
status=$?
left="none"
if [ "$existed" = no ] && [ -e /dev/null-journal ]; then
  left="/dev/null-journal mode $(stat -c %a /dev/null-journal) (removed)"
  rm -f /dev/null-journal
fi
echo "history /dev/null: exit status $status; left behind: $left;" \
  "$(grep -o 'summary history .*' "$work/null.out" || head -c 200 "$work/null.err")"
fi
