#!/usr/bin/env bash
# Three velquin instances behind HAProxy (deploy/haproxy/haproxy.cfg) on
# loopback. Under steady load (wrk, 16 connections) each instance in turn gets
# SIGTERM and, once it has ended, a new start; the next one goes only when
# HAProxy sees the new one up. Prints requests sent, answered 200 and failed.
#
#   bench/rolling_restart.sh [VELQUIN_BINARY] [ROUNDS]
#
# ROUNDS (default 1) is how many times all three are restarted. Target: 0 failed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$here/build/velquin}")
rounds=${2:-1}
drain_delay=${DRAIN_DELAY:-4}
for tool in haproxy wrk socat curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_init

bench_key
mkdir -p "$work/alias.d"
cat >"$work/alias.d/echo.yaml" <<'YAML'
echo:
  type: process
  command: printf '%s' {{ message | shell }}
  parameters:
    message:
      type: string
      default: hello
YAML
write_users "$work/auth.d" echo

health_key=rolling-restart-health
pids=()
ports=()
for i in 0 1 2; do
  write_config "$work/r$i" "AuthDir $work/auth.d" "AliasDir $work/alias.d" \
    "SharedDir $work/r$i/shared/" "HealthApiKey $health_key" "DrainDelay $drain_delay"
  ports+=("$(conf_value "$work/r$i/velquin.conf" ListenPort)")
done

start_replica() {
  start_velquin "$work/r$1/velquin.conf" "$binary"
  pids[$1]=$velquin_pid
}

lb_port=$(free_port)
stats=$work/haproxy.sock
# The shipped configuration, with loopback addresses, a stats socket here and
# no syslog.
awk -v lb="127.0.0.1:$lb_port" -v stats="$stats" -v p0="${ports[0]}" -v p1="${ports[1]}" -v p2="${ports[2]}" '
  /# servers begin/ { print; for (i = 0; i < 3; i++) printf "    server velquin%d 127.0.0.1:%s check\n", i + 1, (i == 0 ? p0 : i == 1 ? p1 : p2); skip = 1; next }
  /# servers end/ { skip = 0 }
  skip { next }
  /^ *log \/dev\/log/ { next }
  /^ *stats socket/ { print "    stats socket " stats " mode 600 level admin"; next }
  /^ *bind / { print "    bind " lb; next }
  { print }' "$here/deploy/haproxy/haproxy.cfg" >"$work/haproxy.cfg"

server_up() {  # server_up NAME: HAProxy's check state of that server is UP
  echo "show stat" | socat - "UNIX-CONNECT:$stats" 2>/dev/null |
    awk -F, -v s="$1" '$1 == "velquin" && $2 == s { print $18 }' | grep -qx UP
}

for i in 0 1 2; do
  start_replica "$i"
done
VELQUIN_HEALTH_API_KEY=$health_key haproxy -f "$work/haproxy.cfg" -db >"$work/haproxy.out" 2>&1 &
bench_track $!
for i in 0 1 2; do
  for _ in $(seq 100); do server_up "velquin$((i + 1))" && break; sleep 0.1; done
  server_up "velquin$((i + 1))" || { echo "HAProxy never saw velquin$((i + 1)) up" >&2; cat "$work/haproxy.out" >&2; exit 1; }
done

cat >"$work/count.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"message": "hello"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $key"
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init() ok = 0; other = 0; codes = "" end
function response(status)
  if status == 200 then ok = ok + 1 else other = other + 1; codes = codes .. " " .. status end
end
function done(summary)
  local o, n, c = 0, 0, ""
  for _, t in ipairs(threads) do
    o = o + t:get("ok"); n = n + t:get("other"); c = c .. t:get("codes")
  end
  local e = summary.errors
  local sock = e.connect + e.read + e.write + e.timeout
  io.write(string.format("sent %d\nanswered_200 %d\nother_status %d\nsocket_errors %d\nfailed %d\nstatuses%s\n",
    o + n + sock, o, n, sock, n + sock, c))
end
LUA

# Each instance: SIGTERM, DrainDelay, the drain, a new start, HAProxy's rise.
per_restart=$((drain_delay + 8))
duration=$((rounds * 3 * per_restart + 10))
wrk -t2 -c16 -d"${duration}s" -s "$work/count.lua" "http://127.0.0.1:$lb_port/v1/echo" >"$work/wrk.out" 2>&1 &
wrk_pid=$!
bench_track "$wrk_pid"
sleep 3
restarts=0
for _ in $(seq "$rounds"); do
  for i in 0 1 2; do
    t0=$(date +%s.%N)
    stop_pid "${pids[$i]}"
    ((stop_status == 0)) || { echo "instance $i exited with $stop_status" >&2; exit 1; }
    start_replica "$i"
    for _ in $(seq 200); do server_up "velquin$((i + 1))" && break; sleep 0.1; done
    server_up "velquin$((i + 1))" || { echo "velquin$((i + 1)) not back up" >&2; exit 1; }
    restarts=$((restarts + 1))
    printf 'restarted velquin%d in %.1f s\n' $((i + 1)) "$(echo "$(date +%s.%N) - $t0" | bc)"
  done
done
wait "$wrk_pid" || true
echo "restarts $restarts, wrk ${duration}s, c=16, DrainDelay $drain_delay"
sed -n '/^sent /,$p' "$work/wrk.out"
grep -q '^failed 0$' "$work/wrk.out"
