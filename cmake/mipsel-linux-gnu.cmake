# Cross build for the gateway's controller: Linux on MIPS32 little-endian
# (o32, hard float), with Debian's mipsel-linux-gnu cross compilers and the
# target's libraries installed as Debian multiarch packages (":mipsel").
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# Multiarch: the target's libraries live in /usr/lib/mipsel-linux-gnu and
# their headers in /usr/include/mipsel-linux-gnu or the shared /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# pkg-config must describe the target's JsonCpp, not the build machine's:
# without this the link picks up the amd64 libjsoncpp.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# ctest runs the target's programs (and gtest's test discovery) through the
# user-mode emulator. No -L: the multiarch libc6:mipsel provides the loader
# at its standard path, and mixing it with the cross tree's libc makes every
# program that starts a thread crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
