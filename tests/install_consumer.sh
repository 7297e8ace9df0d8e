#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a C client against
# it twice, through find_package(zorvane) and through pkg-config; both clients
# and the installed zvn_util then run inside the fake sandbox.
# usage: install_consumer.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
scratch=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name libzorvane.pc)
libdir=$(dirname "$(find "$prefix" -name 'libzorvane.so.1' -type l)")
for f in include/libzorvane.h bin/zvn_util; do [ -e "$prefix/$f" ] || { echo "missing $f"; exit 1; }; done
[ "$(readlink "$libdir/libzorvane.so")" = libzorvane.so.1 ] || { echo "libzorvane.so link wrong"; exit 1; }
[ ! -e "$prefix/sbin/firewall.sh" ] || { echo "firewall.sh installed without being asked for"; exit 1; }

cmake -S "$here/consumer" -B "$scratch/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/by-cmake" >/dev/null
PKG_CONFIG_PATH=$(dirname "$pc") sh -c \
    'cc -Wall -Werror "$0" $(pkg-config --cflags --libs libzorvane) -o "$1"' \
    "$here/consumer/consumer.c" "$scratch/by-pkg-config"

"$here/sandbox/sandbox.sh" fake sh -c '
    set -e
    "$1"
    LD_LIBRARY_PATH="$3" "$2"
    "$4" | head -n 1' sh "$scratch/by-cmake/consumer" "$scratch/by-pkg-config" "$libdir" "$prefix/bin/zvn_util"
