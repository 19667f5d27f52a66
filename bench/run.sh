#!/bin/sh
# Process-alias throughput of a running velquin next to the raw spawn rate of
# the same command on this machine.
#
#   bench/run.sh [URL] [DURATION_SECONDS]
#
# URL defaults to http://127.0.0.1:8080/v1/echo (the example configuration's
# echo alias). BENCH_KEY is the API key (default: the example operator key).
# Needs wrk and g++. Do not run it while something else is being built.
set -eu

url=${1:-http://127.0.0.1:8080/v1/echo}
duration=${2:-10}
key=${BENCH_KEY:-d2e7072ed56263673761a796c19da9db437a8d0041d69bad84fda4cd1d75add5}
here=$(cd "$(dirname "$0")" && pwd)

command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

g++ -O2 -std=c++20 -pthread -o "$work/spawn_raw" "$here/spawn_raw.cpp"

cat >"$work/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"message": "hello"}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $key"
LUA

# One request first: a wrong key or alias would otherwise show as a fast benchmark.
status=$(curl -s -o "$work/first" -w '%{http_code}' -X POST \
  -H 'Content-Type: application/json' -H "Authorization: Bearer $key" \
  -d '{"message": "hello"}' "$url" || true)
if [ "$status" != 200 ]; then
  echo "POST $url answered $status: $(cat "$work/first" 2>/dev/null)" >&2
  exit 1
fi

# wrk prints latencies with units (us, ms, s); normalise to milliseconds.
to_ms() {
  awk -v v="$1" 'BEGIN {
    n = v + 0
    if (v ~ /us$/) n = n / 1000
    else if (v ~ /ms$/) n = n
    else if (v ~ /s$/) n = n * 1000
    printf "%.2f", n
  }'
}

printf '%-11s | %12s %9s %9s %7s | %12s %9s %9s\n' concurrency "http req/s" "p50 ms" "p99 ms" errors \
  "spawns/s" "p50 ms" "p99 ms"
for c in 1 8 32; do
  threads=1
  [ "$c" -gt 1 ] && threads=2
  wrk -t"$threads" -c"$c" -d"${duration}s" --latency -s "$work/post.lua" "$url" >"$work/wrk.$c"
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.$c")
  p50=$(to_ms "$(awk '$1 == "50%" {print $2}' "$work/wrk.$c")")
  p99=$(to_ms "$(awk '$1 == "99%" {print $2}' "$work/wrk.$c")")
  errors=$(awk '/Non-2xx or 3xx responses:/ {print $5} /Socket errors:/ {n=0; for (i=3;i<=NF;i+=2) n+=$(i+1); print n}' \
    "$work/wrk.$c" | awk '{s+=$1} END {print s+0}')
  "$work/spawn_raw" -c "$c" -d "$duration" >"$work/raw.$c"
  read -r _ spawns raw50 raw99 _ <"$work/raw.$c"
  printf '%-11s | %12s %9s %9s %7s | %12s %9s %9s\n' "$c" "$rps" "$p50" "$p99" "$errors" \
    "$spawns" "$raw50" "$raw99"
done
