#!/bin/sh
# fuzz/run.sh TARGET SECONDS: fuzzes TARGET (fuzz preset: clang, ASan+UBSan)
# with two workers into fuzz/corpus-work/TARGET (not committed), then merges
# the inputs that add coverage into fuzz/corpus/TARGET. A finding is saved as
# fuzz/corpus-work/TARGET-crash-* (or -leak-, ...) and gives exit status 1;
# replay it with build-fuzz/fuzz/fuzz_TARGET FILE.
set -eu
cd "$(dirname "$0")/.."
if [ $# -ne 2 ] || [ ! -d "fuzz/corpus/${1:-}" ]; then
  echo "usage: fuzz/run.sh TARGET SECONDS   (targets: $(ls fuzz/corpus | tr '\n' ' '))" >&2
  exit 64
fi
target=$1 seconds=$2 bin=build-fuzz/fuzz/fuzz_$1 work=fuzz/corpus-work/$1
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz_$target"
mkdir -p "$work"
# Inputs of at most 2 KiB keep the committed corpus small.
set -- -max_len=2048 -timeout=10 -rss_limit_mb=2048
[ -f "fuzz/$target.dict" ] && set -- "$@" "-dict=fuzz/$target.dict"
echo "fuzz_$target: $seconds s, log in $work.log"
status=0
"$bin" -fork=2 -max_total_time="$seconds" -artifact_prefix="$work-" "$@" \
  "$work" "fuzz/corpus/$target" >"$work.log" 2>&1 || status=$?
grep -E '^#[0-9]+: cov' "$work.log" | tail -n 1
if [ "$status" -ne 0 ]; then
  tail -n 40 "$work.log" >&2
  echo "fuzz_$target: finding (exit status $status), see $work-*" >&2
  exit 1
fi
"$bin" -merge=1 "$@" "fuzz/corpus/$target" "$work" 2>&1 | tail -n 2
echo "committed corpus: $(ls "fuzz/corpus/$target" | wc -l) files, $(cat "fuzz/corpus/$target"/* | wc -c) bytes"
