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

work=$(mktemp -d)
pid=
stop() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  pid=
}
trap 'stop; rm -rf "$work"' EXIT INT TERM

key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
key_hash=$(printf %s "$key" | sha256sum | cut -d' ' -f1)

mkdir -p "$work/alias.d" "$work/auth.d" "$work/logs" "$work/shared"
cat >"$work/auth.d/users.yaml" <<EOF
users:
  bench:
    api_key_sha256: $key_hash
    allowed_aliases: [flood, sparse]
EOF
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
  local alias=$1 port status
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/velquin.conf" <<EOF
ListenAddress 127.0.0.1
ListenPort $port
AuthDir $work/auth.d
AliasDir $work/alias.d
LogDir $work/logs
SharedDir $work/shared
PidFile $work/velquin.pid
Container 0
LogLevel warning
MaxOutputSize $max_output
EOF
  "$binary" --config "$work/velquin.conf" >"$work/velquin.out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/velquin.out" >&2; exit 1; }
    sleep 0.1
  done
  status=$(curl -s -o /dev/null -w '%{http_code}' -X POST -H "Authorization: Bearer $key" \
    -H 'Content-Type: application/json' -d '{}' "http://127.0.0.1:$port/v1/$alias")
  peak_kib=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")
  http_status=$status
  stop
}

printf '%-28s %14s %8s\n' "case (MaxOutputSize $max_output)" "peak RSS MiB" "status"
for alias in flood sparse; do
  measure "$alias"
  label=$([[ $alias == flood ]] && echo "400 MB stdout" || echo "sparse 400 MB file output")
  printf '%-28s %14.1f %8s\n' "$label" "$(echo "$peak_kib / 1024" | bc -l)" "$http_status"
done
