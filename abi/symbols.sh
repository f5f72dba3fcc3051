#!/usr/bin/env bash
# The exported symbols of libhx_net.so against the list kept in the
# repository (abi/hx_net.symbols by default).
#
#   abi/symbols.sh list   LIBRARY          print the library's list
#   abi/symbols.sh check  LIBRARY [FILE]   compare; exit 1 on any difference
#   abi/symbols.sh update LIBRARY [FILE]   rewrite FILE from the library
#
# Each line of the list is a mangled name, followed for C++ names by its
# demangled form as a comment; only the mangled names are compared, so a
# different demangler changes nothing. Names of the standard library must
# never be exported: list, check and update refuse a library that does.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mode="${1:-}"
lib="${2:-}"
file="${3:-$here/hx_net.symbols}"
if [ -z "$mode" ] || [ -z "$lib" ]; then
  sed -n '2,/^set/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit 64
fi
[ -f "$lib" ] || { echo "symbols: no library at $lib" >&2; exit 2; }

# Mangled prefixes of entities in std:: and __gnu_cxx:: (functions, members,
# vtables and typeinfo, static locals and their guards).
std_names='^_Z(GV)?Z?(T[VTISC])?N?[KVRO]*(S[tabsiod]|9__gnu_cxx)'

names() { nm -D --defined-only -P "$lib" | awk '{ sub(/@.*/, "", $1); print $1 }' | LC_ALL=C sort -u; }

listing() {
  local mangled
  mangled="$(names)"
  if grep -E "$std_names" <<<"$mangled" >&2; then
    echo "symbols: $lib exports standard-library names (above); abi/hx_net.map should keep them local" >&2
    exit 1
  fi
  local demangled
  demangled="$(c++filt <<<"$mangled" 2>/dev/null || echo "$mangled")"
  paste -d '\t' <(echo "$mangled") <(echo "$demangled") |
    sed 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' |
    awk -F '\t' '$1 == $2 { print $1; next } { print $1 "  # " $2 }'
}

header() {
  cat <<'EOF'
# The exported symbols of libhx_net.so: its ABI. One mangled name per line,
# with the demangled form as a comment. CI compares the built library with
# this list (ctest -R abi_symbols; tests/install/run.sh). To accept a change,
# build and run `cmake --build build --target abi-update`, then commit this
# file with the change that caused it. A removed or changed line breaks
# programs built against an earlier version: that needs a new major version.
EOF
}

case "$mode" in
  list) listing ;;
  update)
    { header; listing; } >"$file.tmp"
    mv "$file.tmp" "$file"
    echo "symbols: $(grep -vc '^#' "$file") names written to $file"
    ;;
  check)
    [ -f "$file" ] || { echo "symbols: no list at $file" >&2; exit 2; }
    want="$(grep -v '^#' "$file" | awk '{ print $1 }' | LC_ALL=C sort -u)"
    have="$(listing | awk '{ print $1 }')"
    added="$(LC_ALL=C comm -13 <(echo "$want") <(echo "$have") | sed '/^$/d')"
    removed="$(LC_ALL=C comm -23 <(echo "$want") <(echo "$have") | sed '/^$/d')"
    if [ -z "$added" ] && [ -z "$removed" ]; then
      echo "symbols: $lib exports the $(wc -l <<<"$have") listed names"
      exit 0
    fi
    echo "symbols: $lib differs from $file" >&2
    [ -z "$added" ] || sed 's/^/  + /' <<<"$added" | c++filt >&2
    [ -z "$removed" ] || sed 's/^/  - /' <<<"$removed" | c++filt >&2
    echo "If the change is meant: cmake --build build --target abi-update, and commit the list." >&2
    exit 1
    ;;
  *)
    echo "symbols: unknown mode '$mode' (list, check or update)" >&2
    exit 64
    ;;
esac
