#!/bin/sh
# Installs the built library into a scratch prefix and builds a C consumer against it,
# once with pkg-config and once with find_package.
set -eu
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(dirname "$(find "$prefix" -name hidbridge.pc)")
libdir=$(dirname "$pc")

PKG_CONFIG_PATH=$pc cc -Wall -Werror -o "$prefix/by_pkgconfig" "$src/consumer.c" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs hidbridge) -Wl,-rpath,"$libdir"
"$prefix/by_pkgconfig"

cmake -S "$src" -B "$prefix/by_cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/by_cmake" >/dev/null
"$prefix/by_cmake/consumer"
"$prefix/by_cmake/consumer_static"
echo "installed library usable by pkg-config and find_package"
