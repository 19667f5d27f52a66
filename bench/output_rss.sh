#!/usr/bin/env bash
# Peak resident memory (VmHWM) of velquin after one run that writes 400 MB to
# stdout, and after one whose file output is a sparse 400 MB file. Both must
# fail on MaxOutputSize (default 64 MiB) without the service growing past it.
#
#   bench/output_rss.sh VELQUIN_BINARY [MAX_OUTPUT_SIZE]
#
# Starts a fresh velquin per case (VmHWM only ever grows) on a free loopback
# port with a throw-away configuration; needs curl and python3.
set -euo pipefail

binary=${1:?usage: $0 VELQUIN_BINARY [MAX_OUTPUT_SIZE]}
max_output=${2:-67108864}

command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

bench_key
mkdir -p "$work/alias.d"
write_users "$work/auth.d" flood sparse
cat >"$work/alias.d/caps.yaml" <<'EOF'
flood:
  type: process
  command: "head -c 400000000 /dev/zero"
  timeout: 120
sparse:
  type: process
  command: "truncate -s 400000000 {{ run_dir }}/big"
  output:
    single_value:
      source: big
EOF

# Sets peak_kib and http_status for one request to a fresh service.
measure() {
  local alias=$1 pid port status
  write_config "$work" "MaxOutputSize $max_output"
  start_velquin "$work/velquin.conf" "$binary"
  pid=$velquin_pid
  port=$velquin_port
  status=$(curl -s -o /dev/null -w '%{http_code}' -X POST -H "Authorization: Bearer $key" \
    -H 'Content-Type: application/json' -d '{}' "http://127.0.0.1:$port/v1/$alias")
  peak_kib=$(peak_rss_of "$pid")
  http_status=$status
  stop_pid "$pid"
}

printf '%-28s %14s %8s\n' "case (MaxOutputSize $max_output)" "peak RSS MiB" "status"
for alias in flood sparse; do
  measure "$alias"
  label=$([[ $alias == flood ]] && echo "400 MB stdout" || echo "sparse 400 MB file output")
  printf '%-28s %14.1f %8s\n' "$label" "$(echo "$peak_kib / 1024" | bc -l)" "$http_status"
done
