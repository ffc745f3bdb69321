# Installs Debian packages that are missing (sourced by the scripts).
# As root it runs apt-get (apt-get update first, once); otherwise it names
# what is missing and stops.

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}; install them as root (apt-get install)" >&2
    return 1
  fi
  echo "installing ${missing[*]}"
  if [ -z "${NORVANE_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    NORVANE_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# What the native build and its tests need.
NATIVE_PACKAGES=(build-essential cmake pkg-config binutils libjsoncpp-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev libsqlite3-dev mbpoll socat
  python3 python3-pymodbus python3-serial python3-serial-asyncio)
