#!/usr/bin/env bash
# Round trip of a container alias through velquin next to `docker run --rm`
# of the same image and command, one request at a time.
#
#   bench/container_bench.sh VELQUIN_BINARY [RUNS]
#
# Starts its own velquin on a free loopback port with a throw-away
# configuration; needs the engine and image of scripts/test-env.sh, and curl.
# Do not run it while something else is being built.
set -euo pipefail

binary=${1:?usage: $0 VELQUIN_BINARY [RUNS]}
runs=${2:-20}
image=velquin-test/busybox:latest

command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }
docker image inspect "$image" >/dev/null 2>&1 || { echo "run scripts/test-env.sh first" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

bench_key
write_config "$work"
write_users "$work/auth.d" cecho
cat >"$work/alias.d/cecho.yaml" <<EOF
cecho:
  type: container
  image: $image
  command: echo hello
  timeout: 30
  output:
    single_value:
      source: "%stdOut"
EOF
start_velquin "$work/velquin.conf" "$binary"
port=$velquin_port

url=http://127.0.0.1:$port/v1/cecho
# One request first: a failing alias would otherwise show as a fast benchmark.
status=$(curl -s -o "$work/first" -w '%{http_code}' -X POST -H "Authorization: Bearer $key" \
  -H 'Content-Type: application/json' -d '{}' "$url")
if [[ $status != 200 ]]; then
  echo "POST $url answered $status: $(cat "$work/first")" >&2
  exit 1
fi

# Prints "mean p50 max" in milliseconds of the seconds read from standard input.
summary() {
  sort -n | awk '{ v[NR] = $1 * 1000; s += v[NR] }
    END { printf "%8.1f %8.1f %8.1f\n", s / NR, v[int((NR + 1) / 2)], v[NR] }'
}

for _ in $(seq "$runs"); do
  curl -s -o /dev/null -w '%{time_total}\n' -X POST -H "Authorization: Bearer $key" \
    -H 'Content-Type: application/json' -d '{}' "$url"
done | summary >"$work/gateway"

for _ in $(seq "$runs"); do
  start=$(date +%s.%N)
  docker run --rm --network none "$image" echo hello >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
done | summary >"$work/cli"

printf '%-28s %8s %8s %8s  (%s runs each)\n' "" "mean ms" "p50 ms" "max ms" "$runs"
printf '%-28s %s\n' "velquin POST (container)" "$(cat "$work/gateway")"
printf '%-28s %s\n' "docker run --rm" "$(cat "$work/cli")"
