#!/usr/bin/env bash
# The Debian package as an operator gets it: CPack builds it from the build
# tree; lintian finds no error in it; it holds what the service needs, the
# manual (docs/) and no library search path; no installed file sends its
# reader to a file that the package does not install; systemd-analyze verifies its unit as installed;
# and the gateway unpacked from it (dpkg-deb -x into a scratch root), with
# its example configuration, polls the simulated unit unpacked beside it.
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: check_package.sh BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/norvane-package.XXXXXX)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/out/*.deb)
[ -f "$deb" ] || fail "no .deb made"

root_flag=()
[ "$(id -u)" -eq 0 ] && root_flag=(--allow-root)
lintian "${root_flag[@]}" --fail-on error "$deb" || fail "lintian found errors in $deb"

root=$work/root
dpkg-deb -x "$deb" "$root"
for file in usr/bin/norvane-gateway usr/bin/norvane-sim usr/bin/norvane-fault-line \
  usr/lib/norvane/norvane.so usr/lib/systemd/system/norvane-gateway.service \
  etc/norvane/gateway.json usr/share/man/man1/norvane-gateway.1.gz \
  usr/share/man/man5/norvane-gateway.json.5.gz \
  usr/share/doc/norvane/copyright usr/share/doc/norvane/getting-started.md \
  usr/share/doc/norvane/configuration.md usr/share/doc/norvane/readings.md \
  usr/share/norvane/prometheus/norvane-alerts.yml usr/share/norvane/grafana/norvane-dashboard.json; do
  [ -e "$root/$file" ] || fail "the package has no /$file"
done
# What the installed texts point to: paths under /usr/share/doc/norvane and
# the manual's links to its other pages must be installed. No README is:
# the manual page, the configurations and the unit must not send readers to
# one (the manual may speak of the source tree's).
texts=$work/texts
mkdir "$texts"
zcat "$root/usr/share/man/man1/norvane-gateway.1.gz" >"$texts/norvane-gateway.1"
cp "$root/etc/norvane/gateway.json" "$root/usr/lib/systemd/system/norvane-gateway.service" \
  "$root"/usr/share/doc/norvane/examples/* "$texts/"
! grep -l README "$texts"/* || fail "installed files refer to a README, which is not installed"
cp "$root"/usr/share/doc/norvane/*.md "$texts/"
for path in $(grep -oh '/usr/share/doc/norvane/[A-Za-z0-9._/-]*[A-Za-z0-9]' "$texts"/* | sort -u); do
  [ -e "$root$path" ] || fail "an installed file refers to $path, which is not installed"
done
for page in "$root"/usr/share/doc/norvane/*.md; do
  for link in $(grep -o '](\([A-Za-z0-9._-]*\)\(#[a-z0-9-]*\)\?)' "$page" | sed 's/^](//;s/[#)].*//'); do
    [ -e "$root/usr/share/doc/norvane/$link" ] || fail "$(basename "$page") links to $link, not installed"
  done
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/norvane/gateway.json ||
  fail "/etc/norvane/gateway.json is not a conffile"
# The status page's Chart.js, and the libraries of HTTP and MQTT.
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libjs-chart.js libmicrohttpd12 libmosquitto1; do
  grep -q "$dependency" <<<"$depends" || fail "the package does not depend on $dependency: $depends"
done
for program in norvane-gateway norvane-sim norvane-fault-line; do
  ! readelf -d "$root/usr/bin/$program" | grep -qE 'RPATH|RUNPATH' ||
    fail "$program has a library search path"
done

# The unit as installed: the package's /usr laid over the system's in a
# mount namespace of its own, where systemd-analyze finds the program and
# its manual page. Where no namespace may be made, a copy whose ExecStart
# names the unpacked program is verified, without the manual check. Any
# word from systemd-analyze (an unknown key is only a warning) fails.
unit=/usr/lib/systemd/system/norvane-gateway.service
if unshare -m true 2>/dev/null; then
  unshare -m sh -c "mount -t overlay overlay -o lowerdir=$root/usr:/usr /usr &&
    systemd-analyze verify $unit" >"$work/verify.log" 2>&1 || fail "$(cat "$work/verify.log")"
else
  mkdir "$work/units"
  sed "s#/usr/bin/norvane-gateway#$root/usr/bin/norvane-gateway#" "$root$unit" \
    >"$work/units/norvane-gateway.service"
  systemd-analyze verify --man=no "$work/units/norvane-gateway.service" >"$work/verify.log" 2>&1 ||
    fail "$(cat "$work/verify.log")"
fi
[ ! -s "$work/verify.log" ] || fail "systemd-analyze verify: $(cat "$work/verify.log")"

# The log exists before the child opens it: a read that came first would
# otherwise fail and end the check.
: >"$work/unit.log"
"$root/usr/bin/norvane-sim" >"$work/unit.log" 2>&1 &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty=$(sed -n 's/^pty //p' "$work/unit.log")
  [ -n "$pty" ] && break
  sleep 0.05
done
[ -n "$pty" ] || fail "the simulated unit did not start: $(cat "$work/unit.log")"
"$root/usr/bin/norvane-gateway" --config "$root/etc/norvane/gateway.json" \
  --plugin "$root/usr/lib/norvane/norvane.so" --port "$pty" --history "$work/history.db" \
  --socket "$work/control.sock" --rounds 2 --set-temperature 25 >"$work/gateway.out" 2>&1 ||
  fail "the installed gateway: $(cat "$work/gateway.out")"
grep -q '^command ac1 set temperature 25: done$' "$work/gateway.out" ||
  fail "no command done: $(cat "$work/gateway.out")"
grep -q '^summary ac1: rounds 2 completed 2; .*; history 2 records$' "$work/gateway.out" ||
  fail "no rounds completed: $(cat "$work/gateway.out")"
# The alert rules' own tests pass where the package puts them.
(cd "$root/usr/share/norvane/prometheus" && promtool test rules norvane-alerts.test.yml) \
  >"$work/rules.log" 2>&1 || fail "the installed alert rules: $(cat "$work/rules.log")"
echo "$(basename "$deb"): $(dpkg-deb -c "$deb" | grep -c '^-') files, lintian clean of errors," \
  "unit verified, installed gateway polled the simulated unit"
