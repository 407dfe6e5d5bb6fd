#!/bin/sh
# Installs the build into a scratch prefix, moves the prefix elsewhere (the package must be
# relocatable), then builds the C host against it with find_package and with pkg-config and
# runs both.
#   check_install.sh <cmake> <build dir> <source dir> <scratch dir>
set -eu
cmake=$1 build=$2 source=$3 scratch=$4

rm -rf "$scratch"
mkdir -p "$scratch"
"$cmake" --install "$build" --prefix "$scratch/staged" >/dev/null
mv "$scratch/staged" "$scratch/prefix"
prefix=$scratch/prefix
host=$source/examples/c-host/c_host.c

echo "== find_package(Velkorlink)"
"$cmake" -S "$source/tests/package/consumer" -B "$scratch/consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DHOST_SOURCE="$host" >/dev/null
"$cmake" --build "$scratch/consumer" >/dev/null
"$scratch/consumer/c_host"

echo "== pkg-config velkorlink"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
pkg-config --modversion velkorlink
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$scratch/c_host_pc" "$host" \
  $(pkg-config --cflags --libs velkorlink)
"$scratch/c_host_pc"
