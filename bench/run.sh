#!/usr/bin/env bash
# One table from one run: a velquin of its own against the raw spawn rate of
# the same command, memory idle and under load, start-up with many aliases,
# and the container round trip next to `docker run --rm`.
#
#   bench/run.sh [VELQUIN_BINARY] [DURATION_SECONDS] [CONTAINER_RUNS]
#
# wrk runs on CPU 1; the raw spawner and the gateway share CPU 0, so that the
# ratios compare like with like on a machine with other work on it; both take
# turns in slices, and their CPU time per request is compared too. Needs wrk,
# g++, curl, python3 and taskset; the container row also needs the engine and
# image of scripts/test-env.sh (it is skipped without them). Do not run it
# while something else is being built. BENCH_ECHO_KEYS adds lines to the
# measured alias (for example "  concurrency: 64").
set -euo pipefail

binary=${1:-build/velquin}
duration=${2:-10}
container_runs=${3:-10}
alias_count=${BENCH_ALIASES:-1000}
levels=${BENCH_CONCURRENCY:-"1 8 32 128"}
image=velquin-test/busybox:latest
here=$(cd "$(dirname "$0")" && pwd)

for tool in wrk g++ curl python3 taskset; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[[ -x $binary ]] || { echo "no velquin binary at $binary" >&2; exit 1; }
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")

# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

g++ -O2 -std=c++20 -pthread -o "$work/spawn_raw" "$here/spawn_raw.cpp"

bench_key

# Starts velquin on CPU 0 for the configuration in $1; sets `pid` and `port`.
start_gateway() {
  start_velquin "$1/velquin.conf" taskset -c 0 "$binary"
  pid=$velquin_pid
  port=$velquin_port
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# --- start-up with many aliases ---------------------------------------------
write_aliases "$work/many/alias.d" "$alias_count"
cp "$work/many/alias.d/alias_0.yaml" "$work/many/alias.d/echo.yaml"
sed -i 's/^alias_0:/echo:/' "$work/many/alias.d/echo.yaml"
write_config "$work/many" "AuthReload 0" "AliasReload 0"
write_users "$work/many/auth.d" echo cecho
# Wall time suffers from whatever else the machine runs; the CPU time the
# process has used by then (schedstat, in ns) does far less.
startup_ms=()
startup_cpu=()
for _ in 1 2 3; do
  rm -f "$work/many/logs/app.log"
  t0=$(date +%s%N)
  start_gateway "$work/many"
  t1=$(date +%s%N)
  startup_ms+=($(((t1 - t0) / 1000000)))
  startup_cpu+=("$(awk '{ print int($1 / 1000000) }' "/proc/$pid/schedstat")")
  stop_pid "$pid"
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
startup=$(median "${startup_ms[@]}")

# --- the gateway under load --------------------------------------------------
mkdir -p "$work/gw/alias.d"
cat >"$work/gw/alias.d/echo.yaml" <<EOF
echo:
  type: process
  command: echo hello
  timeout: 10
${BENCH_ECHO_KEYS:-}
EOF
cat >"$work/gw/alias.d/cecho.yaml" <<EOF
cecho:
  type: container
  image: $image
  command: echo hello
  timeout: 30
  output:
    single_value:
      source: "%stdOut"
EOF
write_config "$work/gw" "AuthReload 0" "AliasReload 0"
write_users "$work/gw/auth.d" echo cecho
start_gateway "$work/gw"
gw=$pid
url=http://127.0.0.1:$port/v1/echo

cat >"$work/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '{}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $key"
LUA

# One request first: a wrong key or alias would otherwise show as a fast benchmark.
status=$(curl -s -o "$work/first" -w '%{http_code}' -X POST -H 'Content-Type: application/json' \
  -H "Authorization: Bearer $key" -d '{}' "$url" || true)
if [[ $status != 200 ]]; then
  echo "POST $url answered $status: $(cat "$work/first" 2>/dev/null)" >&2
  exit 1
fi
sleep 1
read -r idle_rss idle_private < <(smaps_of "$gw")

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

# Highest RSS and Private_Dirty while wrk runs, written to $1 when it ends.
sample_memory() {
  local out=$1 max_rss=0 max_private=0 rss private
  while [[ ! -e $out.stop ]]; do
    read -r rss private < <(smaps_of "$gw") || break
    ((rss > max_rss)) && max_rss=$rss
    ((private > max_private)) && max_private=$private
    sleep 0.2
  done
  echo "$max_rss $max_private" >"$out"
}

# CPU time in ms that the gateway and the children it has reaped have used.
clock_ticks=$(getconf CLK_TCK)
gateway_cpu() {
  awk -v hz="$clock_ticks" '{ sub(/^.*\) /, ""); print ($12 + $13 + $14 + $15) * 1000 / hz }' \
    "/proc/$gw/stat"
}

# Other work on the machine comes and goes: the gateway and the raw spawner
# take turns in slices, so that both see the same share of it.
slices=${BENCH_SLICES:-4}
slice=$(awk -v d="$duration" -v n="$slices" 'BEGIN { s = d / n; print (s < 1 ? 1 : int(s + 0.5)) }')

rows=()
loaded_rss=0
loaded_private=0
for c in $levels; do
  sample_memory "$work/mem.$c" &
  sampler=$!
  : >"$work/gw.$c"
  : >"$work/raw.$c"
  for ((s = 0; s < slices; s++)); do
    cpu0=$(gateway_cpu)
    taskset -c 1 wrk -t1 -c"$c" -d"${slice}s" --latency -s "$work/post.lua" "$url" >"$work/wrk"
    cpu1=$(gateway_cpu)
    requests=$(awk '/requests in/ { print $1 }' "$work/wrk")
    errors=$(awk '/Non-2xx or 3xx responses:/ { print $5 }
      /Socket errors:/ { n = 0; for (i = 4; i <= NF; i += 2) n += $i; print n }' "$work/wrk" |
      awk '{ s += $1 } END { print s + 0 }')
    echo "$(awk '/^Requests\/sec:/ { print $2 }' "$work/wrk")" \
      "$(to_ms "$(awk '$1 == "50%" { print $2 }' "$work/wrk")")" \
      "$(to_ms "$(awk '$1 == "99%" { print $2 }' "$work/wrk")")" \
      "$errors" "$requests" "$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { print b - a }')" >>"$work/gw.$c"
    taskset -c 0 "$work/spawn_raw" -c "$c" -d "$slice" >>"$work/raw.$c"
  done
  touch "$work/mem.$c.stop"
  wait "$sampler"
  read -r rss private <"$work/mem.$c"
  ((rss > loaded_rss)) && loaded_rss=$rss
  ((private > loaded_private)) && loaded_private=$private
  # Per level: mean rate, mean of the slices' p50, highest slice p99, CPU ms per request.
  read -r rps p50 p99 errors gw_cpu < <(awk '{ r += $1; p += $2; if ($3 > q) q = $3; e += $4
      n += $5; cpu += $6 } END { printf "%.1f %.2f %.2f %d %.3f\n", r / NR, p / NR, q, e,
      n ? cpu / n : 0 }' "$work/gw.$c")
  read -r spawns raw50 raw99 raw_cpu < <(awk '{ r += $2; p += $3; if ($4 > q) q = $4
      cpu += $6 } END { printf "%.1f %.2f %.2f %.3f\n", r / NR, p / NR, q, cpu / NR }' "$work/raw.$c")
  ratio=$(awk -v a="$rps" -v b="$spawns" 'BEGIN { printf "%.1f%%", (b > 0 ? 100 * a / b : 0) }')
  cost=$(awk -v a="$gw_cpu" -v b="$raw_cpu" 'BEGIN { printf "%.1f%%", (a > 0 ? 100 * b / a : 0) }')
  delta=$(awk -v a="$p50" -v b="$raw50" 'BEGIN { printf "%+.2f", a - b }')
  rows+=("$(printf '%-5s | %9s %7s %8s %6s %7s | %9s %7s %8s %7s | %7s %7s %8s' "$c" "$rps" "$p50" \
    "$p99" "$errors" "$gw_cpu" "$spawns" "$raw50" "$raw99" "$raw_cpu" "$ratio" "$cost" "$delta")")
done

# --- container round trip ----------------------------------------------------
summary() {  # seconds on stdin -> "p50 mean" in ms
  sort -n | awk '{ v[NR] = $1 * 1000; s += v[NR] }
    END { if (NR) printf "%.1f %.1f\n", v[int((NR + 1) / 2)], s / NR; else print "- -" }'
}
container_gw="skipped (no engine or no $image)"
container_cli=""
if ((container_runs == 0)); then
  container_gw="skipped"
elif docker image inspect "$image" >/dev/null 2>&1; then
  curl_post() {
    curl -s -o /dev/null -w '%{http_code} %{time_total}\n' -X POST \
      -H "Authorization: Bearer $key" -H 'Content-Type: application/json' -d '{}' \
      "http://127.0.0.1:$port/v1/cecho"
  }
  if [[ $(curl_post | cut -d' ' -f1) == 200 ]]; then
    read -r gp50 gmean < <(for _ in $(seq "$container_runs"); do curl_post | cut -d' ' -f2; done |
      summary)
    read -r dp50 dmean < <(for _ in $(seq "$container_runs"); do
      s=$(date +%s%N)
      docker run --rm --network none "$image" echo hello >/dev/null
      e=$(date +%s%N)
      awk -v d=$((e - s)) 'BEGIN { print d / 1e9 }'
    done | summary)
    container_gw="p50 $gp50 ms, mean $gmean ms"
    container_cli="p50 $dp50 ms, mean $dmean ms"
  else
    container_gw="skipped (the container alias failed)"
  fi
fi
stop_pid "$gw"

# shellcheck disable=SC2016 # the backquotes are text
printf 'process alias `echo hello`, %ss per level in %s slices taken in turn; gateway and raw spawner on CPU 0, wrk on CPU 1\n' \
  "$duration" "$slices"
printf '%-5s | %9s %7s %8s %6s %7s | %9s %7s %8s %7s | %7s %7s %8s\n' conc "gw req/s" "p50 ms" \
  "p99 ms" errors "cpu ms" "raw/s" "p50 ms" "p99 ms" "cpu ms" "rate" "cost" "p50 +ms"
printf '%s\n' "${rows[@]}"
printf '%s\n' "rate: gateway req/s / raw spawns/s. cost: the raw spawner's CPU time per spawn / the" \
  "gateway's per request (its own and its children's), what the rate would be on an idle CPU 0."
printf 'idle:    RSS %s MiB, Private_Dirty %s MiB\n' "$(mib "$idle_rss")" "$(mib "$idle_private")"
printf 'loaded:  RSS %s MiB, Private_Dirty %s MiB (highest seen under load)\n' \
  "$(mib "$loaded_rss")" "$(mib "$loaded_private")"
printf 'start-up to "Listening on" with %s aliases: %s ms wall, %s ms CPU (median of 3; wall %s)\n' \
  "$alias_count" "$startup" "$(median "${startup_cpu[@]}")" "${startup_ms[*]}"
printf 'container round trip (%s runs): velquin %s' "$container_runs" "$container_gw"
[[ -n $container_cli ]] && printf '; docker run --rm %s' "$container_cli"
printf '\n'
