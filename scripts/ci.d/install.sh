#!/usr/bin/env bash
# Installs nuvex into a temporary prefix and builds a small C program against
# the installed tree twice, once with pkg-config and once with
# find_package(nuvex), then runs both. Nothing may come from the build tree.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/${NUVEX_BUILD_DIR:-build}
work=$(mktemp -d /tmp/nuvex-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target nuvex nuvex-play
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "--- installed files"
missing=0
for f in lib/libnuvex.so.1 lib/libnuvex.so include/nuvex.h lib/pkgconfig/nuvex.pc \
         lib/cmake/nuvex/nuvexConfig.cmake lib/cmake/nuvex/nuvexConfigVersion.cmake \
         lib/cmake/nuvex/nuvexTargets.cmake bin/nuvex-play \
         share/man/man1/nuvex-play.1 share/man/man3/nuvex.3; do
  if [[ -e $prefix/$f ]]; then echo "  $f"; else echo "  MISSING: $f"; missing=1; fi
done
[[ $missing -eq 0 ]]
[[ -L $prefix/lib/libnuvex.so ]]

export ALSOFT_DRIVERS=null ALSOFT_LOGLEVEL=0
consumer=$root/examples/consumer/consumer.c

echo "--- pkg-config consumer"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
libdir=$(pkg-config --variable=libdir nuvex)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/consumer-pc" "$consumer" \
   $(pkg-config --cflags --libs nuvex) -Wl,-rpath,"$libdir"
"$work/consumer-pc"

echo "--- find_package consumer"
cmake -S "$root/examples/consumer" -B "$work/consumer-build" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
"$work/consumer-build/consumer"

echo "--- installed nuvex-play"
"$prefix/bin/nuvex-play" --version
echo "install and consumer builds passed"
