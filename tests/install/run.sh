#!/usr/bin/env bash
# The library as its users meet it, from a built (shared, default) build
# folder:
#  1. install into a fresh prefix: the layout, the SONAME, the exported
#     symbols against abi/hx_net.symbols, the tools;
#  2. every installed header compiles alone as C++17 and C++20, and as C11
#     when it declares C functions (-Wall -Wextra -Wpedantic -Werror);
#  3. consumers, built and run: C++ with find_package and with pkg-config,
#     each as C++17 and C++20, and C with both;
#  4. the static build (BUILD_SHARED_LIBS=OFF in <build>-static): built,
#     every test run, installed, the same consumers linked against it;
#  5. the Debian packages: made, listed, their dependencies checked, and the
#     consumers built against the unpacked development package.
#
#   tests/install/run.sh [BUILD]   (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
static_build="$build-static"
work="$(mktemp -d)"
component=""
cleanup() {
  [ -z "$component" ] || kill "$component" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
started=$(date +%s)
step() { printf -- '--- install: %s (%ss)\n' "$*" "$(($(date +%s) - started))"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
passes=0
pass() { passes=$((passes + 1)); }

flags=(-Wall -Wextra -Wpedantic -Werror)
major="$(sed -n 's/^#define HX_NET_VERSION_MAJOR \([0-9]*\)$/\1/p' "$root/hx_net/version.h")"
version="$(sed -n 's/^#define HX_NET_VERSION "\(.*\)"$/\1/p' "$root/hx_net/version.h")"
[ -n "$major" ] && [ -n "$version" ] || fail "no version in hx_net/version.h"
# The headers that say they are public, relative to the source root.
public_headers="$(cd "$root" && grep -lE '^(//|/\*) Public header' hx_net/*.h platform/*.h | sort)"

# The folder holding the pkg-config file of an installed tree, and its lib/.
pc_dir() { dirname "$(find "$1" -name hx_net.pc -print -quit)"; }

check_layout() {  # PREFIX: include/ holds hx_net-<major>/{hx_net,platform} and the public headers
  local prefix="$1"
  [ "$(ls "$prefix/include")" == "hx_net-$major" ] || fail "include/ holds: $(ls "$prefix/include")"
  [ "$(ls "$prefix/include/hx_net-$major" | tr '\n' ' ')" == "hx_net platform " ] ||
    fail "include/hx_net-$major holds: $(ls "$prefix/include/hx_net-$major")"
  local installed
  installed="$(cd "$prefix/include/hx_net-$major" && find . -type f | sed 's|^\./||' | sort)"
  [ "$installed" == "$public_headers" ] || fail "installed headers differ from the public ones:
$(diff <(echo "$public_headers") <(echo "$installed"))"
  pass
}

compile_headers() {  # PREFIX
  local cflags h
  cflags="$(PKG_CONFIG_PATH="$(pc_dir "$1")" pkg-config --cflags hx_net)"
  for h in $public_headers; do
    for std in c++17 c++20; do
      # shellcheck disable=SC2086
      echo "#include \"$h\"" | g++ -std=$std "${flags[@]}" $cflags -fsyntax-only -x c++ - ||
        fail "$h alone as $std"
      pass
    done
    if grep -q 'extern "C"' "$root/$h"; then
      # shellcheck disable=SC2086
      echo "#include \"$h\"" | gcc -std=c11 "${flags[@]}" $cflags -fsyntax-only -x c - ||
        fail "$h alone as C11"
      pass
    fi
  done
}

build_consumers() {  # PREFIX NAME [STANDARDS]: every consumer, built and run
  local prefix="$1" name="$2" stds="${3:-17 20}" pcdir libdir std out
  pcdir="$(pc_dir "$prefix")"
  libdir="$(dirname "$pcdir")"
  out="$work/consumers-$name"
  mkdir -p "$out"
  for std in $stds; do
    cmake -S "$here" -B "$out/cmake$std" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD="$std" \
      >"$out/cmake$std.log" 2>&1 || { cat "$out/cmake$std.log"; fail "$name: configure C++$std consumer"; }
    cmake --build "$out/cmake$std" >>"$out/cmake$std.log" 2>&1 ||
      { cat "$out/cmake$std.log"; fail "$name: build C++$std consumer with CMake"; }
    LD_LIBRARY_PATH="$libdir" "$out/cmake$std/consumer" "$ctl_port" || fail "$name: CMake C++$std consumer"
    LD_LIBRARY_PATH="$libdir" "$out/cmake$std/consumer_c" || fail "$name: CMake C consumer"
    # shellcheck disable=SC2046
    g++ -std=c++$std "${flags[@]}" "$here/consumer.cpp" -o "$out/pc$std" \
      $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs hx_net) ||
      fail "$name: build C++$std consumer with pkg-config"
    LD_LIBRARY_PATH="$libdir" "$out/pc$std" "$ctl_port" || fail "$name: pkg-config C++$std consumer"
    pass
    pass
    pass
  done
  # shellcheck disable=SC2046
  gcc -std=c11 "${flags[@]}" "$here/consumer.c" -o "$out/pc_c" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs hx_net) ||
    fail "$name: build C consumer with pkg-config"
  LD_LIBRARY_PATH="$libdir" "$out/pc_c" || fail "$name: pkg-config C consumer"
  pass
}

# ---------------------------------------------------------------------------
step "1. install into a fresh prefix"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
check_layout "$prefix"
lib="$(pc_dir "$prefix")/../libhx_net.so"
soname="$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')"
[ "$soname" == "libhx_net.so.$major" ] || fail "SONAME is '$soname'"
pass
"$root/abi/symbols.sh" check "$(readlink -f "$lib")"
pass
test -x "$prefix/bin/hxctl" && test -x "$prefix/bin/hxnet-component" || fail "tools not installed"
[ "$("$prefix/bin/hxctl" --version)" == "hxctl $version (library $version)" ] || fail "hxctl --version"
pass
# A component for the consumers' CTL requests; its first line is its port.
"$prefix/bin/hxnet-component" --port 0 --host 127.0.0.1 >"$work/component.out" 2>"$work/component.err" &
component=$!
ctl_port=""
for _ in $(seq 1 200); do
  ctl_port="$(head -n 1 "$work/component.out" 2>/dev/null || true)"
  [ -n "$ctl_port" ] && break
  sleep 0.05
done
[ -n "$ctl_port" ] || fail "the installed hxnet-component did not start"

step "2. every installed header alone"
compile_headers "$prefix"

step "3. consumers of the installed library"
build_consumers "$prefix" shared

# ---------------------------------------------------------------------------
step "4. static build in $static_build"
cmake -S "$root" -B "$static_build" -DBUILD_SHARED_LIBS=OFF -DHX_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/static.log" 2>&1 || { cat "$work/static.log"; fail "static configure"; }
cmake --build "$static_build" -j2 >>"$work/static.log" 2>&1 || { cat "$work/static.log"; fail "static build"; }
ctest --test-dir "$static_build" -j2 --output-on-failure --no-tests=error >"$work/static-tests.log" 2>&1 ||
  { cat "$work/static-tests.log"; fail "static build tests"; }
grep 'tests passed' "$work/static-tests.log"
pass
static_prefix="$work/static-prefix"
cmake --install "$static_build" --prefix "$static_prefix" >/dev/null
check_layout "$static_prefix"
[ -z "$(find "$static_prefix" -name 'libhx_net.so*')" ] && [ -f "$(pc_dir "$static_prefix")/../libhx_net.a" ] ||
  fail "the static install holds a shared library or no archive"
build_consumers "$static_prefix" static
if readelf -d "$work/consumers-static/pc_c" | grep -q 'libhx_net'; then fail "static consumer needs libhx_net.so"; fi
pass

# ---------------------------------------------------------------------------
step "5. Debian packages"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb() { find "$build/packages" -maxdepth 1 -name "$1_*.deb" -print -quit; }
runtime_deb="$(deb "libhx-net$major")"
dev_deb="$(deb libhx-net-dev)"
tools_deb="$(deb hx-net-tools)"
[ -n "$runtime_deb" ] && [ -n "$dev_deb" ] && [ -n "$tools_deb" ] || fail "packages: $(ls "$build/packages")"
for p in "$runtime_deb" "$dev_deb" "$tools_deb"; do
  echo "$(basename "$p"): Depends: $(dpkg-deb -f "$p" Depends)"
  dpkg-deb -c "$p" | awk '{ print "    " $6 ($7 ? " " $7 " " $8 : "") }'
done
has() {  # PACKAGE PATH...: the package holds every path
  local p="$1" f
  shift
  for f in "$@"; do
    dpkg-deb -c "$p" | awk '{ print $6 }' | grep -qx "./$f" || fail "$(basename "$p") lacks $f"
  done
  pass
}
has "$runtime_deb" "usr/lib/libhx_net.so.$version" "usr/lib/libhx_net.so.$major" \
  "usr/share/doc/libhx-net$major/copyright"
has "$dev_deb" "usr/lib/libhx_net.so" "usr/include/hx_net-$major/hx_net/Link.h" \
  "usr/include/hx_net-$major/platform/tdiag.h" "usr/lib/pkgconfig/hx_net.pc" \
  "usr/lib/cmake/hx_net/hx_netConfig.cmake" "usr/share/doc/libhx-net-dev/copyright"
has "$tools_deb" usr/bin/hxctl usr/bin/hxnet-component usr/share/doc/hx-net-tools/copyright
same_version="libhx-net$major (= $version-1)"
dpkg-deb -f "$runtime_deb" Depends | grep -q 'libc6' || fail "the library package does not depend on libc6"
dpkg-deb -f "$runtime_deb" Depends | grep -q 'libstdc++6' || fail "the library package does not depend on libstdc++6"
dpkg-deb -f "$runtime_deb" Depends | grep -q 'libssl3' || fail "the library package does not depend on libssl3"
dpkg-deb -f "$dev_deb" Depends | grep -qF "$same_version" || fail "libhx-net-dev does not depend on $same_version"
dpkg-deb -f "$dev_deb" Depends | grep -q 'libssl-dev' || fail "libhx-net-dev does not depend on libssl-dev"
dpkg-deb -f "$tools_deb" Depends | grep -qF "$same_version" || fail "hx-net-tools does not depend on $same_version"
pass
unpacked="$work/unpacked"
for p in "$runtime_deb" "$dev_deb" "$tools_deb"; do dpkg-deb -x "$p" "$unpacked"; done
[ "$("$unpacked/usr/bin/hxctl" --version)" == "hxctl $version (library $version)" ] ||
  fail "the packaged hxctl does not run with the packaged library"
build_consumers "$unpacked/usr" packaged 20
echo "install: $passes passed, 0 failed ($(($(date +%s) - started))s)"
