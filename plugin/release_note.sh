#!/usr/bin/env bash
# Writes the short text that goes out with a built norvane.so: what machine
# it is for and what it needs of the runtime of the machine that loads it.
# Everything but the two versions given is read from the file itself.
# Usage: release_note.sh FILE VERSION JSONCPP_VERSION
set -euo pipefail
file=${1:?usage: release_note.sh FILE VERSION JSONCPP_VERSION}
version=${2:?usage: release_note.sh FILE VERSION JSONCPP_VERSION}
jsoncpp_version=${3:?usage: release_note.sh FILE VERSION JSONCPP_VERSION}

header=$(readelf -h "$file")
field() { sed -n "s/^ *$1: *//p" <<<"$header"; }
needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ')
runtime=$("$(dirname "$0")/runtime_versions.sh" "$file")
glibc=$(sed -n 's/^libc\.so\.[0-9]* GLIBC_//p' <<<"$runtime")

cat <<TEXT
norvane.so $version: device-driver plug-in of the field-monitoring gateway
for a precision air-conditioning unit on Modbus RTU.

Machine:  $(field Class), $(field Data), $(field Machine)
          (flags: $(field Flags | sed 's/^0x[0-9a-f]*, //'))
Size:     $(stat -c %s "$file") bytes
Needs:    $needed

Symbol versions it requires of the runtime (the newest of each family);
the controller can load it if its libraries define them:
$(sed 's/^/  /' <<<"$runtime")
That is glibc $glibc or later.

JsonCpp (built against $jsoncpp_version) and the host framework are not
linked in: the process that loads the plug-in provides them.
TEXT
