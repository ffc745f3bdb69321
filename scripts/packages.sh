# Installs Debian packages that are missing (sourced by the scripts).
# As root it runs apt-get (apt-get update first, once); otherwise it names
# what is missing and stops.

apt_update_once() {
  [ -n "${NORVANE_APT_UPDATED:-}" ] && return 0
  DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
  NORVANE_APT_UPDATED=1
}

# Packages are plain names or name:arch (multiarch, e.g. libjsoncpp-dev:mipsel).
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
  apt_update_once
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# Lets dpkg install packages of a foreign architecture (multiarch); the
# package lists are fetched again afterwards so that its packages are known.
ensure_architecture() {
  local arch=$1
  [ "$(dpkg --print-architecture)" = "$arch" ] && return 0
  dpkg --print-foreign-architectures | grep -qx "$arch" && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "architecture $arch is not enabled; as root: dpkg --add-architecture $arch && apt-get update" >&2
    return 1
  fi
  echo "enabling architecture $arch"
  dpkg --add-architecture "$arch"
  NORVANE_APT_UPDATED=
  apt_update_once
}

# What the native build and its tests need.
# The gateway's command line (CLI11), its service manager notifications
# (libsystemd), its manual page (help2man) and its Debian package (CPack
# with dpkg-dev's dpkg-shlibdeps, checked by lintian and systemd-analyze).
# Its outputs: HTTP (libmicrohttpd; cpp-httplib is the tests' HTTP
# client), MQTT (libmosquitto), the status page's Chart.js; the peers
# their tests start: mosquitto and its clients,
# Prometheus's promtool, headless Chromium driven by Selenium, and a
# Chinese font for the page's screenshot (the plug-in's alarm details;
# WenQuanYi Micro Hei, the smallest of Debian's CJK fonts: 1.6 MB).
# ccache, which the suite's build uses, so that the test of the install
# commands in a fresh clone (git) finds the objects already compiled.
NATIVE_PACKAGES=(build-essential cmake pkg-config binutils ccache git libjsoncpp-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev libsqlite3-dev mbpoll socat valgrind
  python3 python3-pymodbus python3-serial python3-serial-asyncio
  libcli11-dev libsystemd-dev systemd help2man man-db dpkg-dev lintian
  libmicrohttpd-dev libcpp-httplib-dev libmosquitto-dev libjs-chart.js
  mosquitto mosquitto-clients prometheus chromium chromium-driver python3-selenium
  fonts-wqy-microhei)

# The build machine's tools that the cross build uses: CMake and make,
# pkg-config, readelf and c++filt for the file checks, Python for
# norvane-preflight, and Boost's headers, which are architecture-independent
# (libboost-dev:mipsel does not install beside the amd64 one on Debian 12,
# so the cross build takes these).
CROSS_HOST_PACKAGES=(cmake make pkg-config binutils python3 libboost-dev)

# The cross compiler, its binutils (objdump and objcopy for the ISA checks),
# the emulator that runs the target's programs, and the target's libraries
# (multiarch, after ensure_architecture mipsel).
MIPSEL_PACKAGES=(g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel
  libgtest-dev:mipsel libgmock-dev:mipsel libbenchmark-dev:mipsel)

# What the suite of the pre-C++11 file builds its JsonCpp and GoogleTest
# from: dpkg-source (for Debian's libjsoncpp source package) and
# GoogleTest's sources in /usr/src/googletest.
PRE_CXX11_PACKAGES=(dpkg-dev googletest)

# clang's libFuzzer and sanitizer runtimes for the fuzz targets.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
