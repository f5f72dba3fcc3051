#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a small
# consumer against it twice: with find_package(hx_net) and with pkg-config.
set -euo pipefail
src="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/hxctl" && test -x "$prefix/bin/hxnet-component"
"$prefix/bin/hxctl" --help >/dev/null

cmake -S "$src" -B "$prefix/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$prefix/consumer-cmake/consumer"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
g++ -std=c++17 "$src/consumer.cpp" -o "$prefix/consumer-pc" $(pkg-config --cflags --libs hx_net) \
  -Wl,-rpath,"$prefix/lib"
"$prefix/consumer-pc"
echo "install: 2 passed, 0 failed"
