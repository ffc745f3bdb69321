# Sourced by the benchmarks: the resident memory of a running gateway.
#
#   rss_samples PID EVERY_S LABEL   samples VmRSS (kB) every EVERY_S seconds
#                                   until PID ends, waits for it, and prints
#                                   the samples, the one after the first
#                                   quarter and the last.
rss_samples() {
  local pid=$1 every=$2 label=$3 rss
  local samples=()
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$rss" ] && samples+=("$rss")
    sleep "$every"
  done
  wait "$pid"
  local count=${#samples[@]}
  echo "memory over $label: VmRSS kB sampled every $every s: ${samples[*]}"
  if [ "$count" -ge 4 ]; then
    echo "after the first quarter: ${samples[$((count / 4))]} kB; at the end: ${samples[$((count - 1))]} kB"
  fi
}
