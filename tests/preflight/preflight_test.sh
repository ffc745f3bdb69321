#!/usr/bin/env bash
# Runs norvane-preflight as an integrator would and checks its verdict.
#
#   preflight_test.sh fits ROOT HOST PLUGIN
#       every import of PLUGIN resolves below ROOT, the host framework being
#       HOST: exit status 0
#   preflight_test.sh picks ROOT HOST FITTING OTHER
#       of the two files, FITTING is named as the one that fits: exit 0
#   preflight_test.sh fails ROOT HOST PLUGIN NAME
#       PLUGIN does not fit, and NAME is among the imports that would not
#       resolve: exit status 1
#   preflight_test.sh isa ROOT HOST PLUGIN STATUS TEXT...
#       of a MIPS PLUGIN: the exit status is STATUS, and the report says
#       each TEXT (the ISA and FP ABI read, the verdict or the problem)
#   preflight_test.sh lacking COMPILER ROOT PLUGIN WORK
#       a synthetic host framework built by COMPILER in WORK defines every
#       host operation that PLUGIN imports but one: that one is named
set -euo pipefail
here=$(dirname "$0")
preflight=$here/../../plugin/norvane-preflight
mode=${1:?usage: preflight_test.sh fits|picks|fails|isa|lacking ...}
shift

# Runs the command, shows its report, keeps it in $report and its status in
# $status.
run() {
  status=0
  report=$("$preflight" "$@") || status=$?
  echo "$report"
}
expect_status() {
  [ "$status" -eq "$1" ] || { echo "FAIL: exit status $status, not $1"; exit 1; }
}
expect_line() {
  grep -qF -- "$1" <<<"$report" || { echo "FAIL: the report does not say: $1"; exit 1; }
}

case "$mode" in
  fits)
    run --host-library "$2" "$1" "$3"
    expect_status 0
    expect_line "  all "
    expect_line "This controller can load: $3"
    ;;
  picks)
    run --host-library "$2" "$1" "$3" "$4"
    expect_status 0
    expect_line "This controller can load: $3"
    grep -q "can load: .*$4" <<<"$report" && { echo "FAIL: $4 fits too"; exit 1; }
    ;;
  fails)
    run --host-library "$2" "$1" "$3"
    expect_status 1
    expect_line "    $4"
    expect_line "This controller can load none of: $3"
    ;;
  isa)
    run --host-library "$2" "$1" "$3"
    expect_status "$4"
    shift 4
    for text in "$@"; do expect_line "$text"; done
    ;;
  lacking)
    compiler=$1 root=$2 plugin=$3 work=$4
    mkdir -p "$work"
    # The host's imports of the plug-in (unversioned, not JsonCpp's), each
    # defined as a function or, for typeinfo, as data; SendSP left out.
    readelf -W --dyn-syms "$plugin" |
      awk 'NR > 3 && $7 == "UND" && $8 != "" && $8 !~ /@/ { print $8 }' |
      grep -Ev '^(_ITM_|__gmon_start__)|^_Z(N|NK|TVN|TIN)4Json' | grep -v '^_ZN10SMDVDevice6SendSPEiPKvib$' |
      awk '/^_ZT[IV]/ { print "char " $1 "[16] = {1};"; next } { print "void " $1 "(void) {}" }' \
        >"$work/synthetic_host.c"
    "$compiler" -x c -shared -fPIC -o "$work/libsynthetic_host.so" "$work/synthetic_host.c"
    run --host-library "$work/libsynthetic_host.so" "$root" "$plugin"
    expect_status 1
    expect_line "SMDVDevice::SendSP(int, void const*, int, bool)  [_ZN10SMDVDevice6SendSPEiPKvib]: no library defines it"
    [ "$(grep -c 'no library defines it' <<<"$report")" -eq 1 ] ||
      { echo "FAIL: more than the one operation left out is named"; exit 1; }
    ;;
  *)
    echo "usage: preflight_test.sh fits|picks|fails|isa|lacking ..." >&2
    exit 2
    ;;
esac
echo "PASS"
