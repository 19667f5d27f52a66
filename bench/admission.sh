#!/bin/sh
# The cost of admission control: bench/run.sh against the same echo alias
# without limits and with `concurrency: 64`, both served by one velquin
# started here on loopback, in one run.
#
#   bench/admission.sh [VELQUIN_BINARY] [DURATION_SECONDS]
#
# Prints both tables and, per concurrency, http req/s as a share of the raw
# spawn rate for each alias. Needs wrk, curl and g++.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-$here/../build/velquin}
duration=${2:-10}
key=d2e7072ed56263673761a796c19da9db437a8d0041d69bad84fda4cd1d75add5
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/alias.d" "$work/auth.d" "$work/logs"
cat >"$work/alias.d/echo.yaml" <<YAML
echo:
  type: process
  command: echo {{ message | shell }}
  parameters: {message: {type: string, default: hello}}
echo64:
  type: process
  command: echo {{ message | shell }}
  parameters: {message: {type: string, default: hello}}
  concurrency: 64
YAML
cat >"$work/auth.d/users.yaml" <<YAML
users:
  operator:
    api_key_sha256: 00ba93f4939dfcc0439aac99a7392ba91f2c3e31d504cadb13cbd7c6e49804bf
    allowed_aliases: [echo, echo64]
YAML
cat >"$work/velquin.conf" <<CONF
ListenAddress 127.0.0.1
ListenPort $port
AuthDir $work/auth.d
AliasDir $work/alias.d
LogDir $work/logs
SharedDir $work/shared
PidFile $work/velquin.pid
AuditLog audit.log
AppLog app.log warning
CONF

"$binary" --config "$work/velquin.conf" --container 0 >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/internal/health/check" && break
  sleep 0.1
done

share() {
  awk -F'|' 'NR > 1 { split($2, h, " "); split($3, s, " "); if (s[1] > 0) printf "%s %.1f%%\n", $1, 100 * h[1] / s[1] }' "$1"
}

BENCH_KEY=$key "$here/run.sh" "http://127.0.0.1:$port/v1/echo" "$duration" | tee "$work/plain"
BENCH_KEY=$key "$here/run.sh" "http://127.0.0.1:$port/v1/echo64" "$duration" | tee "$work/limited"
echo "share of the raw spawn rate (without limits | concurrency: 64):"
share "$work/plain" >"$work/plain.share"
share "$work/limited" >"$work/limited.share"
paste "$work/plain.share" "$work/limited.share"
