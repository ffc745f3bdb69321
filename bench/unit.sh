# The simulated unit for the benchmark scripts, which source this file
# after setting `build` and `work`:
#   start_unit [ARGS...]  starts norvane-sim ARGS on a pseudo-terminal and
#                         sets `pty` and `sim_pid` (exits if it does not start)
#   stop_unit             stops it
# On exit the unit is stopped and `work` removed (a script that has more to
# clean up defines `cleanup` again, calling stop_unit).
sim_pid=
stop_unit() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sim_pid=
}
start_unit() {
  "$build/simulator/norvane-sim" "$@" >"$work/unit.log" 2>&1 &
  sim_pid=$!
  pty=
  for _ in $(seq 100); do
    pty=$(sed -n 's/^pty //p' "$work/unit.log")
    [ -n "$pty" ] && return 0
    sleep 0.1
  done
  echo "the simulated unit did not start: $(cat "$work/unit.log")" >&2
  exit 1
}
cleanup() {
  stop_unit
  rm -rf "$work"
}
trap cleanup EXIT
