#!/usr/bin/env bash
# Process tests of hxctl and hxnet-component: outputs and exit statuses.
set -u
hxctl="$1" component="$2" work="$(mktemp -d)"
pids=() namespaces=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for n in "${namespaces[@]}"; do ip netns del "$n" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
fails=0
check() {  # check NAME EXPECTED ACTUAL
  [ "$2" == "$3" ] || { echo "FAIL: $1: expected '$2', got '$3'"; fails=$((fails + 1)); }
}
contains() { grep -q -- "$2" "$3" || check "$1" "'$2' in it" "$(cat "$3")"; }  # NAME NEEDLE FILE
# first_line FILE: its first line once written, within 10 s
first_line() { for _ in $(seq 1 200); do head -n 1 "$1" 2>/dev/null | grep . && return; sleep 0.05; done; }
launch=()  # a prefix for the component's command line (ip netns exec NS)
start_component() {  # sets $port and $cpid
  rm -f "$work/c.out"  # never the port of an earlier component
  "${launch[@]}" "$component" --port 0 "$@" >"$work/c.out" 2>"$work/c.err" &
  cpid=$! && pids+=("$cpid")
  port="$(first_line "$work/c.out")"
  [ -n "$port" ] || { echo "FAIL: component did not start"; exit 1; }
}
wait_exit() {  # wait_exit PID [NAME]: $status is its exit status, waited for 10 s at most; NAME: check it is 0
  status="still-running"
  timeout 10 tail -s 0.05 --pid="$1" -f /dev/null && { wait "$1"; status=$?; }
  [ -z "${2:-}" ] || check "$2" 0 "$status"
}
stop_component() { kill -"${2:-TERM}" "$cpid"; wait_exit "$cpid" "${1:-}"; }  # [NAME [SIGNAL]]
ctl() { "$hxctl" "$@" >"$work/out" 2>"$work/err"; echo $?; }
hx() { "$hxctl" "$@"; }
expect() {  # expect NAME STATUS PATTERN COMMAND...: its exit status, and PATTERN in what it printed
  "${@:4}" >"$work/out" 2>"$work/err"
  local got=$?
  grep -q -- "$3" "$work/out" "$work/err" || got="$got, no '$3' in: $(cat "$work/out" "$work/err")"
  check "$1" "$2" "$got"
}

# Every command against a component, which by default listens on 127.0.0.1
# alone, and prints its port on standard output, its link cap on standard error.
start_component
check "port line, listens on 127.0.0.1 only" 1 "$(grep -ciE "^ *[0-9]+: 0100007F:$(printf '%04X' "$port") 0+:0000 0A " /proc/net/tcp)"
contains "component prints its cap" "at most 10000 links at once" "$work/c.err"
# Refused: the component holds 127.0.0.1:PORT, so nothing else listens on 127.0.0.2:PORT.
expect "refused" 24 "connection refused by 127.0.0.2:$port" hx 127.0.0.2 "$port" life-check
check "life-check, do-measure, change-log, get-measure" "0 OK 0 0 0" "$(ctl 127.0.0.1 "$port" life-check) $(<"$work/out") \
$(ctl 127.0.0.1 "$port" do-measure) $(ctl 127.0.0.1 "$port" change-log) $(ctl 127.0.0.1 "$port" get-measure)"
for k in uptime_s requests rss_kib; do contains "get-measure $k" "^$k=[0-9]" "$work/out"; done
expect "unknown request" 38 "CTL_RC_UNKNOWN_REQUEST" hx 127.0.0.1 "$port" request NO_SUCH_THING
check "gateway life-check, do-measure, get-measure, options as --opt=value" "0 0 0 0" "$(ctl --type 0 127.0.0.1 "$port" life-check) \
$(ctl --type 0 127.0.0.1 "$port" do-measure) $(ctl --type=0 127.0.0.1 "$port" get-measure) $(ctl --timeout=3 --type=1 127.0.0.1 "$port" life-check)"
check "request GET_MEASURE, no blank line" "0 0" "$(ctl 127.0.0.1 "$port" request GET_MEASURE) $(grep -c '^$' "$work/out")"
contains "request GET_MEASURE pairs" "^rss_kib=[0-9]" "$work/out"
# A port in use is named with the reason; with 100 descriptors the cap is lowered below 100 links.
# shellcheck disable=SC2016
expect "port taken" 1 "cannot listen on 127.0.0.1:$port: Address already in use" \
  bash -c 'ulimit -n 100 && exec "$0" --port "$1"' "$component" "$port"
contains "cap lowered to the descriptors" "at most [0-9][0-9] links at once (descriptor limit 100)" "$work/err"

# Repeated requests: one line per request, then the summary.
t0=$(date +%s%N)
check "count: status, the interval kept, a line per request, replies printed" "0 yes 3 3" \
  "$(ctl --count 3 --interval 0.2 127.0.0.1 "$port" life-check) $([ $((($(date +%s%N) - t0) / 1000000)) -ge 400 ] && echo yes || echo no) \
$(grep -cE '^seq=[123] rc=CTL_RC_OK time=[0-9]+\.[0-9]{3} ms$' "$work/out") $(grep -c '^OK$' "$work/out")"
contains "count: summary" "^3 sent, 3 OK, latency min/avg/max [0-9.]*/[0-9.]*/[0-9.]* ms$" "$work/out"
expect "count: failures, the status" 38 "^2 sent, 0 OK$" hx --count=2 --interval=0 127.0.0.1 "$port" request NO_SUCH_THING
"$hxctl" --count 100000 --interval 0.05 127.0.0.1 "$port" life-check >"$work/rep" 2>&1 &
rpid=$! && pids+=("$rpid")
first_line "$work/rep" >/dev/null && kill -TERM "$rpid"
wait_exit "$rpid" "count: SIGTERM ends the run"
contains "count: summary after SIGTERM" "^[0-9]* sent, [0-9]* OK, latency" "$work/rep"
check "gateway stop" "0 OK" "$(ctl --type 0 127.0.0.1 "$port" stop) $(<"$work/out")"
wait_exit "$cpid" "component exit after gateway stop"

# shutdown to type 6 sends SHUTDOWN, which stops it too.
start_component --trace=0
check "shutdown status" 0 "$(ctl --type 6 127.0.0.1 "$port" shutdown)"
wait_exit "$cpid" "component exit after shutdown"

for sig in TERM HUP; do start_component && stop_component "component exit on SIG$sig" $sig; done


if command -v python3 >/dev/null; then
  # A listener that never replies, and one whose full backlog drops the SYN
  # (the connect never completes); both bounded by --timeout.
  python3 -c 'import socket,time
s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(4)
f=socket.socket(); f.bind(("127.0.0.1",0)); f.listen(0); c=socket.create_connection(f.getsockname())
print(s.getsockname()[1], f.getsockname()[1], flush=True); time.sleep(30)' >"$work/py" &
  pids+=($!)
  read -r sport fport <<<"$(first_line "$work/py")"
  for row in "$sport no reply within 1 s" "$fport no connection within 1 s"; do
    t0=$(date +%s%N)
    expect "${row#* }" 27 "${row#* }" hx --timeout 1 127.0.0.1 "${row%% *}" life-check
    check "${row#* }: within 2S+1" yes "$([ $((($(date +%s%N) - t0) / 1000000)) -le 3000 ] && echo yes || echo no)"
  done

  # The default payload limit closes a link that announces a larger frame; a
  # peer that never reads its echoes is closed by the send backlog's refusal.
  start_component --trace 2 --max-queued=64K
  python3 - "$port" >"$work/limits" <<'PY'
import socket, sys; port = int(sys.argv[1])
s = socket.create_connection(("127.0.0.1", port)); s.settimeout(5)
s.sendall(b"a 04000001")
print("payload: closed" if s.recv(1) == b"" else "payload: open")
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.settimeout(10); s.connect(("127.0.0.1", port))
try:
    for _ in range(4096):  # 128 MiB at most
        s.sendall(b"a %08x" % 32768 + b"x" * 32768)
    print("backlog: open")
except OSError:
    print("backlog: closed")
PY
  check "default payload limit, backlog refusal" "payload: closed backlog: closed" "$(paste -sd " " "$work/limits")"
  contains "backlog trace" "send backlog limit of 65536 bytes refused" "$work/c.err"
  check "serving after the closes" 0 "$(ctl 127.0.0.1 "$port" life-check)"
  stop_component "component exit after the limits"
fi

# IPv6: a component on ::1 and on ::, reached as ::1 and [::1].
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
  start_component --host ::1
  # Its listeners by its own sockets: ::1 alone. Another process may hold
  # 127.0.0.1 on the same port number, so a connect there would prove nothing.
  listening() {  # listening FILE: local addresses of the component's listeners in FILE
    awk 'NR == FNR { own[$1]; next } $4 == "0A" && ($10 in own) { printf "%s ", $2 }' \
      <(find /proc/"$cpid"/fd -lname 'socket:*' -printf '%l\n' | tr -dc '0-9\n') "$1"
  }
  check "IPv6 life-check, bracketed, listens on ::1 only, stop" "0 0 $(printf '%024d01000000:%04X' 0 "$port") | 0" \
    "$(ctl ::1 "$port" life-check) $(ctl "[::1]" "$port" life-check) $(listening /proc/net/tcp6)| \
$(listening /proc/net/tcp)$(ctl ::1 "$port" stop)"
  wait_exit "$cpid" "component exit after IPv6 stop"
  start_component --host ::
  check "component on :: over ::1" 0 "$(ctl ::1 "$port" life-check)"
  stop_component
else
  echo "tools: IPv6 checks skipped: this machine has no IPv6 loopback (::1)"
fi

# Control from another host (10.212.0.1, in a namespace of its own joined by a
# veth pair) is refused with NO (37) unless --allow-control-from names it. That
# namespace has no loopback and an unreachable route, for those connect errors.
nsA="hxcomp$$" nsB="hxclient$$"
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
  echo "tools: remote control checks skipped: making network namespaces needs root and ip"
elif ! { ip netns add "$nsA" && namespaces+=("$nsA") && ip netns add "$nsB" && namespaces+=("$nsB") &&
  ip link add hxa netns "$nsA" type veth peer name hxb netns "$nsB" &&
  ip -n "$nsA" addr add 10.212.0.2/24 dev hxa && ip -n "$nsA" link set hxa up &&
  ip -n "$nsB" addr add 10.212.0.1/24 dev hxb && ip -n "$nsB" link set hxb up &&
  ip -n "$nsB" route add unreachable 10.212.1.0/24; } 2>"$work/ns"; then
  echo "tools: remote control checks skipped: network namespaces could not be made: $(cat "$work/ns")"
else
  rhx() { ip netns exec "$nsB" "$hxctl" "$@"; }
  remote() { rhx "$@" >"$work/out" 2>"$work/err"; echo $?; }
  launch=(ip netns exec "$nsA")
  start_component --host 10.212.0.2 --trace 2
  expect "remote stop refused" 37 "refused the request (NO)" rhx 10.212.0.2 "$port" stop
  check "remote shutdown refused, life-check after the refusals" "37 0" \
    "$(remote --type 6 10.212.0.2 "$port" shutdown) $(remote 10.212.0.2 "$port" life-check)"
  contains "refusal trace" "STOP from 10.212.0.1:[0-9]* refused" "$work/c.err"
  stop_component
  start_component --host 10.212.0.2 --allow-control-from=10.212.0.9,10.212.0.1
  check "allowed remote stop" 0 "$(remote 10.212.0.2 "$port" stop)"
  wait_exit "$cpid" "component exit after allowed stop"
  launch=()
  expect "network unreachable" 24 "network unreachable: cannot reach 127.0.0.1:$port" rhx 127.0.0.1 "$port" life-check
  expect "no route" 24 "no route to 10.212.1.1:$port" rhx 10.212.1.1 "$port" life-check
fi

# TLS, with certificates made by the openssl command as the README shows.
if command -v openssl >/dev/null; then
  pki="$work/pki"
  mkdir -p "$pki"
  mkkey() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/$1.key" "${@:2}" 2>/dev/null; }
  sign() {  # sign NAME [x509 OPTIONS]: a certificate of the authority for a fresh key
    mkkey "$1" -subj "/CN=hx test $1" -out "$pki/$1.csr"
    openssl x509 -req -in "$pki/$1.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
      -days 30 -out "$pki/$1.crt" "${@:2}" 2>/dev/null
  }
  mkkey ca -x509 -days 30 -subj "/CN=hx test CA" -out "$pki/ca.crt"
  sign server -extfile <(echo 'subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost')
  sign client
  ca=(--tls-ca "$pki/ca.crt")
  me=(--tls-cert "$pki/client.crt" --tls-key "$pki/client.key")

  start_component --tls-cert "$pki/server.crt" --tls-key "$pki/server.key"
  check "TLS life-check" "0 OK" "$(ctl "${ca[@]}" 127.0.0.1 "$port" life-check) $(<"$work/out")"
  expect "TLS by name" 0 "^open_links=[0-9]" hx --tls-ca="$pki/ca.crt" localhost "$port" get-measure
  expect "TLS wrong name" 24 "TLS handshake failed: wrong name" hx "${ca[@]}" --tls-name other.example 127.0.0.1 "$port" life-check

  # Mutual TLS; many times without a certificate: the refusal races the request's write.
  start_component --tls-cert "$pki/server.crt" --tls-key "$pki/server.key" --tls-client-ca "$pki/ca.crt"
  check "mutual TLS without a certificate" "24 " \
    "$(for _ in $(seq 40); do ctl "${ca[@]}" 127.0.0.1 "$port" stop; done | sort -u | tr '\n' ' ')"
  check "mutual TLS life-check, stop" "0 0" \
    "$(ctl "${ca[@]}" "${me[@]}" 127.0.0.1 "$port" life-check) $(ctl "${ca[@]}" "${me[@]}" 127.0.0.1 "$port" stop)"
  wait_exit "$cpid" "component exit after mutual TLS stop"

  expect "component key of another certificate" 1 "TLS: the private key does not match the certificate" \
    "$component" --tls-cert "$pki/server.crt" --tls-key "$pki/client.key"
  expect "hxctl missing authority file" 64 "none.crt': No such file" hx --tls-ca "$pki/none.crt" 127.0.0.1 4000 life-check
else
  echo "tools: TLS checks skipped: no openssl command"
fi

# Versions: the program's and the library's it runs with (the same here;
# hxctl's: the install test).
"$component" --version >"$work/out" 2>&1
check "component --version" "0 1" "$? $(grep -cE '^hxnet-component ([0-9.]+) \(library \1\)$' "$work/out")"

# Bad arguments never send a request.
expect "help" 0 "exit status" hx --help
expect "missing arguments" 64 "hxctl --help" hx 127.0.0.1
a="127.0.0.1 4000 life-check"
# shellcheck disable=SC2086
for row in "hxctl --count 0 $a" "hxctl --count=many $a" "hxctl --interval 1 $a" "hxctl --count 2 --interval -1 $a" \
  "hxctl --timeout= $a" "hxctl --timeout -1 $a" "hxctl 127.0.0.1 4000 dance" "hxctl 127.0.0.1 http life-check" \
  "hxctl 127.0.0.1 70000 life-check" "hxctl $(printf 'h%.0s' $(seq 1 300)) 4000 life-check" "hxctl --tls-name x $a" \
  "hxctl --tls-ca c --tls-cert c $a" "component --port nope" "component --port=nope" "component --frobnicate" \
  "component --keepalive 60,0,6" "component --allow-control-from=host.example" "component --tls-cert c"; do
  tool="${row%% *}"
  "${!tool}" ${row#* } >/dev/null 2>&1; check "${row:0:36}" 64 "$?"
done
"$component" --help >"$work/out" 2>&1
for d in "--max-payload.*64M" "--max-queued.*4M" "--frame-timeout.*30" "--keepalive.*60,10,6" \
  "--write-timeout.*60" "--max-links.*10000" "--host.*127.0.0.1" "0.0.0.0" "--allow-control-from"; do
  contains "component help: $d" "$d" "$work/out"
done

echo "tools: $fails failed"
[ "$fails" -eq 0 ]
