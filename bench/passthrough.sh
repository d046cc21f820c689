#!/usr/bin/env bash
# Builds libfuse's own passthrough filesystems, example/passthrough_hp.cc and
# example/passthrough_ll.c, of the libfuse version installed here: the floor the drive benchmarks
# are measured against in the same run, since no FUSE filesystem copies like a local `cp` (which
# copies inside ext4 with copy_file_range; into a FUSE mount it falls back to read and write).
#
#   bench/passthrough.sh CACHE
#
# leaves CACHE/bin/passthrough_hp and CACHE/bin/passthrough_ll, or CACHE/unavailable with one
# line saying why they could not be had. The source is fetched once and kept in CACHE/src.
set -uo pipefail

cache=$(mkdir -p "$1" && cd "$1" && pwd)
bin="$cache/bin"
rm -f "$cache/unavailable"
unavailable() {
  echo "$*" >"$cache/unavailable"
  echo "passthrough: $*" >&2
  exit 0
}

version=$(dpkg-query -W -f='${source:Version}' libfuse3-3 2>/dev/null) ||
  unavailable "libfuse3-3 is not installed"
if [ "$(cat "$bin/version" 2>/dev/null)" = "$version" ] && [ -x "$bin/passthrough_hp" ] &&
  [ -x "$bin/passthrough_ll" ]; then
  exit 0
fi

upstream=${version#*:}
upstream=${upstream%-*}
src="$cache/src/fuse3-$upstream"
if [ ! -f "$src/example/passthrough_hp.cc" ]; then
  command -v dpkg-source >/dev/null || unavailable "dpkg-source is missing (package dpkg-dev)"
  # The machine's apt sources list binary packages only. The source package comes from the same
  # Debian archive through a deb-src entry of our own for this release, whose Signed-By names the
  # Debian archive keyring: apt checks the signature of the Sources index and the hash of every
  # file it fetches, as it does for binary packages. The entry, its index and the downloads live
  # under CACHE, so the machine's apt configuration is left as it is and no other apt run starts
  # fetching source indices.
  # shellcheck source=/dev/null
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  apt="$cache/apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/archives/partial" "$cache/src"
  cat >"$apt/sources.list.d/debian-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  options=(-q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/sources.list.d"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o "Dir::Cache::Archives=$apt/archives"
    -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update >"$apt/update.log" 2>&1 ||
    unavailable "apt-get update of the deb-src entry failed: $(tail -n 1 "$apt/update.log")"
  (cd "$cache/src" && apt-get "${options[@]}" source "fuse3=$version") >"$apt/source.log" 2>&1 ||
    unavailable "apt-get source fuse3=$version failed: $(tail -n 1 "$apt/source.log")"
  [ -f "$src/example/passthrough_hp.cc" ] || unavailable "no example/passthrough_hp.cc in $src"
fi

# Built as libfuse's meson build does: the C examples see the functions the C library has through
# its private fuse_config.h (so passthrough_ll answers copy_file_range), the C++ one does not.
mkdir -p "$bin"
probe() {
  printf '#include <stdio.h>\n#include <stdlib.h>\n#include <stddef.h>\n#include <unistd.h>
#include <sys/types.h>\n#include <sys/stat.h>\n#include <fcntl.h>\n#include <sys/xattr.h>
#include <iconv.h>\nint main(void) { void *p = (void *)&%s; return p == 0; }\n' "$1" |
    ${CC:-cc} -D_GNU_SOURCE -x c - -o /dev/null 2>/dev/null
}
{
  echo "#define PACKAGE_VERSION \"$upstream\""
  for f in fork fstatat openat readlinkat pipe2 splice vmsplice posix_fallocate fdatasync \
    utimensat copy_file_range fallocate setxattr iconv; do
    probe "$f" && echo "#define HAVE_${f^^} 1"
  done
  echo "#define HAVE_STRUCT_STAT_ST_ATIM 1"
} >"$bin/fuse_config.h"
fuse=$(pkg-config --cflags --libs fuse3) || unavailable "pkg-config finds no fuse3 (libfuse3-dev)"
# shellcheck disable=SC2086 # pkg-config's flags are words
${CC:-cc} -O2 -D_REENTRANT -DHAVE_LIBFUSE_PRIVATE_CONFIG_H -I"$bin" -fno-strict-aliasing \
  "$src/example/passthrough_ll.c" -o "$bin/passthrough_ll" $fuse -pthread \
  >"$bin/build.log" 2>&1 || unavailable "passthrough_ll did not build: $(head -n 1 "$bin/build.log")"
# shellcheck disable=SC2086
${CXX:-c++} -O2 -std=c++11 -D_REENTRANT -DHAVE_CONFIG_H -D_GNU_SOURCE -fno-strict-aliasing \
  "$src/example/passthrough_hp.cc" -o "$bin/passthrough_hp" $fuse -pthread \
  >>"$bin/build.log" 2>&1 || unavailable "passthrough_hp did not build: $(head -n 1 "$bin/build.log")"
echo "$version" >"$bin/version"
