# Fetches files from the Debian archive that this machine's apt already
# uses, through an apt state of its own: the machine's apt configuration,
# package lists and installed packages are never touched, and nothing is
# installed. Sourced by the scripts that need a source package or the
# binary packages of another Debian release.
#
#   debian_apt_state DIR TYPE SUITE [ARCH]   a private apt state in DIR for one
#                                            suite ("deb" or "deb-src"), its
#                                            package lists fetched
#   debian_apt DIR ARGS...                   apt-get with that state
#   debian_retry WHAT COMMAND...             a command tried three times

# The archive's address: NORVANE_DEBIAN_MIRROR, else the first non-security
# entry of the machine's apt sources, else deb.debian.org.
debian_mirror() {
  if [ -n "${NORVANE_DEBIAN_MIRROR:-}" ]; then
    echo "$NORVANE_DEBIAN_MIRROR"
    return
  fi
  local uri=
  if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
    uri=$(awk 'BEGIN { RS = "" } !/Suites:[^\n]*security/ {
                 if (match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/)) {
                   entry = substr($0, RSTART, RLENGTH); sub(/.*URIs:[ \t]*/, "", entry)
                   print entry; exit } }' /etc/apt/sources.list.d/*.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && !/security/ {
                 for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

debian_retry() {
  local what=$1
  shift
  local try
  for try in 1 2 3; do
    "$@" && return 0
    [ "$try" -lt 3 ] && { echo "$what failed (try $try of 3); trying again in $((try * 5)) s" >&2; sleep $((try * 5)); }
  done
  echo "error: $what failed three times; is the Debian archive ($(debian_mirror)) reachable?" >&2
  return 1
}

debian_apt() {
  local dir=$1
  shift
  apt-get -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/sources.list.d" \
    -o Dir::State::Lists="$dir/lists" -o Dir::State::Status=/dev/null \
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Dir::Cache::Archives="$dir/archives" \
    -o Acquire::Languages=none -o APT::Sandbox::User="$(id -un)" "$@"
}

debian_apt_state() {
  local dir=$1 type=$2 suite=$3 arch=${4:-}
  mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/archives/partial"
  {
    echo "Types: $type"
    echo "URIs: $(debian_mirror)"
    echo "Suites: $suite"
    echo "Components: main"
    [ -n "$arch" ] && echo "Architectures: $arch"
    echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
  } >"$dir/sources.list.d/archive.sources"
  debian_retry "fetching the package lists of Debian $suite" \
    debian_apt "$dir" update >"$dir/update.log" 2>&1 || {
    cat "$dir/update.log" >&2
    return 1
  }
}
