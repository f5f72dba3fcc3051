#!/usr/bin/env bash
# tools/test_ratio.sh [--ratio]: non-blank lines of the tests (tests/, the fuzz
# harnesses without corpora or dictionaries, tools/*test*) against the rest of
# platform/, hx_net/, tools/ and bench/; without --ratio also the line coverage
# of platform/ and hx_net/ from a whole ctest run of the coverage preset
# (build-coverage, fuzz corpus replays included), by gcovr.
set -euo pipefail
cd "$(dirname "$0")/.."

files() {  # tracked files under the given folders (all files outside a git checkout)
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- "$@"
  else
    find "$@" -type f -not -path '*/build*'
  fi
}
is_test() {
  case "$1" in
    tests/*) return 0 ;;
    fuzz/corpus/* | fuzz/*.dict) return 2 ;;  # data, on neither side
    fuzz/*) return 0 ;;
    tools/*test*) return 0 ;;
  esac
  return 1
}
test_lines=0
code_lines=0
while IFS= read -r f; do
  n=$(grep -cv '^[[:space:]]*$' "$f" || true)
  if is_test "$f"; then
    test_lines=$((test_lines + n))
  elif [ $? -eq 1 ]; then
    code_lines=$((code_lines + n))
  fi
done < <(files tests fuzz platform hx_net tools bench)
awk -v t="$test_lines" -v c="$code_lines" \
  'BEGIN { printf "tests: %d non-blank lines, code: %d, ratio %.3f\n", t, c, t / c }'

[ "${1:-}" = "--ratio" ] && exit 0

command -v gcovr >/dev/null || { echo "installing gcovr" && apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr >/dev/null; }
log=build-coverage/coverage-run.log
cmake --preset coverage >/dev/null
find build-coverage -name '*.gcda' -delete  # counts from this run only
echo "building the coverage preset and running ctest (log: $log)"
status=0
{ cmake --build --preset coverage && ctest --preset coverage; } >"$log" 2>&1 || status=$?
grep -E 'tests passed|tests failed' "$log" || true
[ $status -eq 0 ] || echo "the build or a test failed (see $log); coverage below is of what ran"
gcovr --root . --object-directory build-coverage --exclude-directories '.*/CMakeFiles/[0-9.]+' \
  --filter 'platform/' --filter 'hx_net/' --print-summary
exit $status
