#!/usr/bin/env bash
# The cost of admission control: bench/run.sh against the same echo alias
# without limits and with `concurrency: 64`, both served by one velquin
# started here on loopback, in one run.
#
#   bench/admission.sh [VELQUIN_BINARY] [DURATION_SECONDS]
#
# Prints both tables and, per concurrency, http req/s as a share of the raw
# spawn rate for each alias. Needs wrk, curl and g++.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-$here/../build/velquin}
duration=${2:-10}
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

bench_key
write_config "$work"
write_users "$work/auth.d" echo echo64
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
start_velquin "$work/velquin.conf" "$binary"
port=$velquin_port

share() {
  awk -F'|' 'NR > 1 { split($2, h, " "); split($3, s, " "); if (s[1] > 0) printf "%s %.1f%%\n", $1, 100 * h[1] / s[1] }' "$1"
}

BENCH_KEY=$key "$here/run.sh" "http://127.0.0.1:$port/v1/echo" "$duration" | tee "$work/plain"
BENCH_KEY=$key "$here/run.sh" "http://127.0.0.1:$port/v1/echo64" "$duration" | tee "$work/limited"
echo "share of the raw spawn rate (without limits | concurrency: 64):"
share "$work/plain" >"$work/plain.share"
share "$work/limited" >"$work/limited.share"
paste "$work/plain.share" "$work/limited.share"
