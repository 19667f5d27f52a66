#!/usr/bin/env bash
# The cost of admission control: bench/run.sh on its echo alias without
# limits, then with `concurrency: 64`, one after the other.
#
#   bench/admission.sh [VELQUIN_BINARY] [DURATION_SECONDS]
#
# Prints both tables and, per concurrency, the gateway's rate as a share of
# the raw spawn rate for each. Needs what bench/run.sh needs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-$here/../build/velquin}
duration=${2:-10}
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

# The "rate" column of run.sh's table, per concurrency.
share() {
  awk -F'|' '$1 ~ /^[0-9]+ *$/ { split($4, r, " "); printf "%s %s\n", $1 + 0, r[1] }' "$1" | sort
}

export BENCH_ALIASES=${BENCH_ALIASES:-10}
"$here/run.sh" "$binary" "$duration" 0 | tee "$work/plain"
BENCH_ECHO_KEYS="  concurrency: 64" "$here/run.sh" "$binary" "$duration" 0 | tee "$work/limited"
echo "share of the raw spawn rate (without limits | concurrency: 64):"
join <(share "$work/plain") <(share "$work/limited") | sort -n |
  awk '{ printf "%-5s %8s | %8s\n", $1, $2, $3 }'
