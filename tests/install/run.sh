#!/usr/bin/env bash
# The library as its users meet it, from a built (shared) build folder, in the
# steps below.   tests/install/run.sh [BUILD]   (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
work="$(mktemp -d)"
component=""
trap '[ -z "$component" ] || kill "$component" 2>/dev/null; rm -rf "$work"' EXIT
started=$(date +%s)
step() { printf -- '--- install: %s (%ss)\n' "$*" "$(($(date +%s) - started))"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
logged() { "${@:3}" >>"$work/$1" 2>&1 || { cat "$work/$1"; fail "$2"; }; }  # LOG WHAT COMMAND...

flags=(-Wall -Wextra -Wpedantic -Werror)
major="$(sed -n 's/^#define HX_NET_VERSION_MAJOR \([0-9]*\)$/\1/p' "$root/hx_net/version.h")"
version="$(sed -n 's/^#define HX_NET_VERSION "\(.*\)"$/\1/p' "$root/hx_net/version.h")"
[ -n "$major" ] && [ -n "$version" ] || fail "no version in hx_net/version.h"
mapfile -t public_headers < <(cd "$root" && grep -lE '^(//|/\*) Public header' hx_net/*.h platform/*.h | sort)
pc_dir() { dirname "$(find "$1" -name hx_net.pc -print -quit)"; }  # PREFIX: where hx_net.pc is

check_layout() {  # PREFIX: include/ holds hx_net-<major>/{hx_net,platform} with the public headers, nothing else
  diff <(printf '%s\n' "" hx_net platform "${public_headers[@]}" | sed "s|^|hx_net-$major/|;s|/$||" | sort) \
    <(cd "$1/include" && find . -mindepth 1 | sed 's|^\./||' | sort) || fail "$1/include: not the public headers alone"
}

compile_headers() {  # PREFIX
  local cflags h std
  read -ra cflags <<<"$(PKG_CONFIG_PATH="$(pc_dir "$1")" pkg-config --cflags hx_net)"
  for h in "${public_headers[@]}"; do
    for std in c++17 c++20 $(grep -q 'extern "C"' "$root/$h" && echo c11); do
      echo "#include \"$h\"" | gcc -std="$std" -x "${std%%[0-9]*}" "${flags[@]}" "${cflags[@]}" -fsyntax-only - ||
        fail "$h alone as $std"
    done
  done
}

build_consumers() {  # PREFIX NAME [STANDARDS]: every consumer, built and run
  local prefix="$1" name="$2" pcdir libdir std out pc
  pcdir="$(pc_dir "$prefix")"
  libdir="$(dirname "$pcdir")"
  out="$work/consumers-$name"
  mkdir -p "$out"
  read -ra pc <<<"$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs hx_net)"
  for std in ${3:-17 20}; do
    local cm=("$name-cmake$std.log" "$name: C++$std consumers with CMake" cmake)
    logged "${cm[@]}" -S "$here" -B "$out/cmake$std" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD="$std"
    logged "${cm[@]}" --build "$out/cmake$std"
    logged "$name-pc$std.log" "$name: build C++$std consumer with pkg-config" \
      g++ -std="c++$std" "${flags[@]}" "$here/consumer.cpp" -o "$out/pc$std" "${pc[@]}"
    for exe in "cmake$std/consumer $ctl_port" "cmake$std/consumer_c" "pc$std $ctl_port"; do
      # shellcheck disable=SC2086
      LD_LIBRARY_PATH="$libdir" "$out/"$exe || fail "$name: $exe"
    done
  done
  logged "$name-pc_c.log" "$name: build C consumer with pkg-config" \
    gcc -std=c11 "${flags[@]}" "$here/consumer.c" -o "$out/pc_c" "${pc[@]}"
  LD_LIBRARY_PATH="$libdir" "$out/pc_c" || fail "$name: pkg-config C consumer"
}

step "1. install into a fresh prefix: layout, SONAME, exported symbols, tools"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
check_layout "$prefix"
lib="$(pc_dir "$prefix")/../libhx_net.so"
soname="$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')"
[ "$soname" == "libhx_net.so.$major" ] || fail "SONAME is '$soname'"
"$root/abi/symbols.sh" check "$(readlink -f "$lib")"
hxctl_runs() { [ "$("$1/bin/hxctl" --version)" == "hxctl $version (library $version)" ] || fail "$1/bin/hxctl --version"; }
hxctl_runs "$prefix"
# A component for the consumers' CTL requests; its first line is its port.
"$prefix/bin/hxnet-component" --port 0 --host 127.0.0.1 >"$work/component.out" 2>/dev/null & component=$!
timeout 10 bash -c "until grep -q . '$work/component.out'; do sleep 0.05; done" || fail "the installed hxnet-component did not start"
ctl_port="$(head -n 1 "$work/component.out")"

step "2. every installed header alone, as C++17 and C++20, and as C11 when it declares C functions"
compile_headers "$prefix"

step "3. consumers of the installed library"
build_consumers "$prefix" shared

step "4. static build in $build-static"
logged static.log "static configure" cmake -S "$root" -B "$build-static" -DBUILD_SHARED_LIBS=OFF \
  -DHX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
logged static.log "static build" cmake --build "$build-static" -j2
logged static-tests.log "static build tests" ctest --test-dir "$build-static" -j2 --output-on-failure --no-tests=error
grep 'tests passed' "$work/static-tests.log"
static_prefix="$work/static-prefix"
cmake --install "$build-static" --prefix "$static_prefix" >/dev/null
check_layout "$static_prefix"
[ -z "$(find "$static_prefix" -name 'libhx_net.so*')" ] && [ -f "$(pc_dir "$static_prefix")/../libhx_net.a" ] ||
  fail "the static install holds a shared library or no archive"
build_consumers "$static_prefix" static
if readelf -d "$work/consumers-static/pc_c" | grep -q 'libhx_net'; then fail "static consumer needs libhx_net.so"; fi

step "5. Debian packages: contents, dependencies, consumers of the unpacked development package"
rm -rf "$build/packages"
(cd "$build" && logged cpack.log cpack cpack -G DEB -B "$build/packages")
deb() { find "$build/packages" -maxdepth 1 -name "$1_*.deb" -print -quit; }
runtime="$(deb "libhx-net$major")" dev="$(deb libhx-net-dev)" tools="$(deb hx-net-tools)"
[ -n "$runtime" ] && [ -n "$dev" ] && [ -n "$tools" ] || fail "packages: $(ls "$build/packages")"
same_version="libhx-net$major (= $version-1)"
# Each package: what it must hold, then what it must depend on.
for row in "$runtime|usr/lib/libhx_net.so.$version usr/lib/libhx_net.so.$major usr/share/doc/libhx-net$major/copyright|libc6;libstdc++6;libssl3" \
  "$dev|usr/lib/libhx_net.so usr/include/hx_net-$major/hx_net/Link.h usr/include/hx_net-$major/platform/tdiag.h usr/lib/pkgconfig/hx_net.pc usr/lib/cmake/hx_net/hx_netConfig.cmake usr/share/doc/libhx-net-dev/copyright|$same_version;libssl-dev" \
  "$tools|usr/bin/hxctl usr/bin/hxnet-component usr/share/doc/hx-net-tools/copyright|$same_version"; do
  IFS='|' read -r p files deps <<<"$row"
  echo "$(basename "$p"): Depends: $(dpkg-deb -f "$p" Depends)"
  dpkg-deb -c "$p" | awk '{ print "    " $6 ($7 ? " " $7 " " $8 : "") }' | tee "$work/contents"
  for f in $files; do
    awk -v f="./$f" '$1 == f { found = 1 } END { exit !found }' "$work/contents" || fail "$(basename "$p") lacks $f"
  done
  IFS=';' read -ra needs <<<"$deps"
  for d in "${needs[@]}"; do dpkg-deb -f "$p" Depends | grep -qF "$d" || fail "$(basename "$p") does not depend on $d"; done
done
for p in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$p" "$work/unpacked"; done
hxctl_runs "$work/unpacked/usr"  # with the packaged library
build_consumers "$work/unpacked/usr" packaged 20
echo "install: every check passed ($(($(date +%s) - started))s)"
