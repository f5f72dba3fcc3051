#!/bin/sh
# One fuzz campaign: fuzz/run.sh TARGET SECONDS
#
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) into build-fuzz, fuzzes
# TARGET with two worker processes for SECONDS into a scratch corpus
# (fuzz/corpus-work/TARGET, not committed), then merges the inputs that add
# coverage into the committed corpus fuzz/corpus/TARGET. A finding stops the
# run, is saved as fuzz/corpus-work/TARGET-crash-* (or -leak-, -timeout-...)
# and gives exit status 1. The log is fuzz/corpus-work/TARGET.log.
# Replay a finding with: build-fuzz/fuzz/fuzz_TARGET FILE
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
usage() {
  echo "usage: fuzz/run.sh TARGET SECONDS   (targets: $(ls fuzz/corpus | tr '\n' ' '))" >&2
  exit 64
}
[ $# -eq 2 ] || usage
target=$1
seconds=$2
[ -d "fuzz/corpus/$target" ] || usage

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "fuzz_$target"

bin=build-fuzz/fuzz/fuzz_$target
work=fuzz/corpus-work/$target
mkdir -p "$work"
set -- -max_len=2048 -timeout=10 -rss_limit_mb=2048
[ -f "fuzz/$target.dict" ] && set -- "$@" "-dict=fuzz/$target.dict"

# Inputs of at most 2 KiB keep the committed corpus small.
log=fuzz/corpus-work/$target.log
echo "fuzz_$target: $seconds s, log in $log"
status=0
"$bin" -fork=2 -max_total_time="$seconds" -artifact_prefix="fuzz/corpus-work/$target-" "$@" \
  "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
grep -E '^#[0-9]+: cov' "$log" | tail -n 1
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "fuzz_$target: finding (exit status $status), see fuzz/corpus-work/$target-*" >&2
  exit 1
fi

"$bin" -merge=1 "$@" "fuzz/corpus/$target" "$work" 2>&1 | tail -n 2
echo "committed corpus: $(ls "fuzz/corpus/$target" | wc -l) files, $(cat "fuzz/corpus/$target"/* | wc -c) bytes"
