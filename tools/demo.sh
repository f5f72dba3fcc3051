#!/usr/bin/env bash
# The demonstration: a component on a free loopback port, then hxctl asking it
# for a life check, its measurements, and to stop. Leaves nothing running.
set -euo pipefail
build="${1:-build}"
bin="$build/tools"
work="$(mktemp -d)"
"$bin/hxnet-component" --port 0 >"$work/out" 2>"$work/err" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

port=""
for _ in $(seq 1 200); do  # the port is the first line it prints
  port="$(head -n 1 "$work/out" 2>/dev/null || true)"
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "the component did not start:"; cat "$work/err"; exit 1; }
echo "hxnet-component is listening on 127.0.0.1:$port"

run() {
  echo
  echo "\$ hxctl $*"
  "$bin/hxctl" "$@"
}
run 127.0.0.1 "$port" life-check
run 127.0.0.1 "$port" get-measure
run 127.0.0.1 "$port" request HELLO || true
run 127.0.0.1 "$port" stop
status=0
wait "$pid" || status=$?
echo
echo "hxnet-component exited with status $status"
exit "$status"
