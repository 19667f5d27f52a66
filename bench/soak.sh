#!/usr/bin/env bash
# Long mixed load on one velquin instance, then a check that it gave back
# everything it took.
#
#   bench/soak.sh [DURATION_SECONDS] [VELQUIN_BINARY]
#
# DURATION defaults to 1800. Load, all at once: process aliases (wrk, 4
# connections), a container alias (one client), an alias that times out, bad
# requests and an unauthenticated flood (wrk, 2 connections); an alias file
# rewritten every 3 s (a reload each time), a SIGHUP every 30 s and a log
# reopen through the endpoint every minute (after moving the log away, as
# logrotate would).
# Prints requests per outcome; RSS at minute 5 (at a sixth of the run when it
# is shorter) and at the end; descriptors, threads, run directories,
# containers and processes at the start and after the load. Exit status 0
# when RSS grew under 10% and everything else is back to its start value.
# Needs wrk, curl, docker and the test image velquin-test/busybox:latest.
set -euo pipefail

duration=${1:-1800}
here=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${2:-$here/build/velquin}")
image_src=${SOAK_IMAGE:-velquin-test/busybox:latest}
for tool in wrk curl docker python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
bench_init
# A tag of our own, so that only this run's containers are counted.
image=velquin-soak:$$
docker tag "$image_src" "$image"
# shellcheck disable=SC2016 # expanded at exit
bench_at_exit 'docker rmi "$image" >/dev/null 2>&1'

bench_key
logs_key=soak-logs
write_config "$work" "SharedDir $work/shared/" "LogsApiKey $logs_key" "AliasReload 2"
mkdir -p "$work/out"
write_users "$work/auth.d" echo files cecho nap
cat >"$work/alias.d/main.yaml" <<YAML
echo:
  type: process
  command: printf '%s' {{ message | shell }}
  parameters:
    message:
      type: string
      default: hello
      pattern: "^[a-z ]{0,40}\$"
files:
  type: process
  command: "printf x > {{ run_dir | shell }}/out.txt"
  output:
    multiple_values:
      - parameter_name: out
        source: out.txt
nap:
  type: process
  command: sleep 30
  timeout: 1
cecho:
  type: container
  image: $image
  command: "echo {{ message | shell }}"
  parameters:
    message:
      type: string
      default: hello
YAML
# Its own session, so that every process it leaves behind can be counted.
# Commands inherit its working directory: keep it inside the work directory.
start_velquin "$work/velquin.conf" env -C "$work" setsid "$binary"
vpid=$velquin_pid
base=http://127.0.0.1:$velquin_port

post() {  # post ALIAS BODY [KEY] -> status code
  curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/json' \
    -H "Authorization: Bearer ${3:-$key}" -d "$2" "$base/v1/$1" || echo 000
}
rss_kib() { rss_of "$vpid"; }
threads() { awk '/^Threads:/ {print $2}' "/proc/$vpid/status"; }
# Run cgroups kept for reuse (at most 64, two descriptors each) are counted
# apart: the pool grows to the highest concurrency seen and stays.
# shellcheck disable=SC2012 # link targets, which find cannot list as plainly
fd_targets() { ls -l "/proc/$vpid/fd" 2>/dev/null | awk 'NR > 1 {print $NF}'; }
pooled_re='/run-[0-9]+(/cgroup\.events)?$'
fds() { fd_targets | grep -Evc "$pooled_re" || true; }
pooled() { fd_targets | grep -Ec '/run-[0-9]+$' || true; }
run_dirs() { find "$work/shared" -mindepth 1 -maxdepth 1 | wc -l; }
containers() { docker ps -a --format '{{.Image}}' | grep -cxF "$image" || true; }
processes() { ps -e -o sid= | awk -v s="$vpid" '$1 == s' | wc -l; }
snapshot() { echo "$(fds) $(threads) $(run_dirs) $(containers) $(processes)"; }

# One request of each kind first: what is created once on first use (the
# run-containment helpers, the Docker connection) is part of the start.
for a in echo files; do [ "$(post $a '{}')" = 200 ] || { echo "warm-up $a failed" >&2; exit 1; }; done
[ "$(post cecho '{}')" = 200 ] || { echo "warm-up cecho failed" >&2; exit 1; }
post nap '{}' >/dev/null
sleep 2
read -r fd0 th0 rd0 ct0 pr0 <<<"$(snapshot)"
fd_targets | grep -Ev "$pooled_re" | sort >"$work/out/fds.start"
rss_start=$(rss_kib)

cat >"$work/good.lua" <<LUA
local bodies = {
  {"/v1/echo", '{"message": "hello soak"}'},
  {"/v1/files", '{}'},
}
local i = 0
request = function()
  i = i + 1
  local b = bodies[i % #bodies + 1]
  return wrk.format("POST", b[1], {["Content-Type"] = "application/json",
    ["Authorization"] = "Bearer $key"}, b[2])
end
LUA
cat >"$work/bad.lua" <<LUA
local reqs = {
  {"/v1/echo", "Bearer $key", '{"message": "NOT ALLOWED 1"}'},
  {"/v1/echo", "Bearer $key", '{"message": '},
  {"/v1/echo", "Bearer $key", '{"unknown": 1}'},
  {"/v1/nosuch", "Bearer $key", '{}'},
  {"/v1/echo", "Bearer wrong-key", '{}'},
  {"/v1/echo", "Basic Zm9vOmJhcg==", '{}'},
  {"/v1/echo", "", '{}'},
}
local i = 0
request = function()
  i = i + 1
  local r = reqs[i % #reqs + 1]
  local h = {["Content-Type"] = "application/json"}
  if r[2] ~= "" then h["Authorization"] = r[2] end
  return wrk.format("POST", r[1], h, r[3])
end
LUA
# wrk's per-status counts: a response() hook in every thread.
for f in good bad; do
  cat >>"$work/$f.lua" <<'LUA'
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init() counts = {} end
function response(status) counts[status] = (counts[status] or 0) + 1 end
function done(summary)
  local total = {}
  for _, t in ipairs(threads) do
    for s, n in pairs(t:get("counts")) do total[s] = (total[s] or 0) + n end
  end
  for s, n in pairs(total) do io.write(string.format("status %d %d\n", s, n)) end
  local e = summary.errors
  io.write(string.format("socket_errors %d\n", e.connect + e.read + e.write + e.timeout))
end
LUA
done

bg=()
end_at=$(($(date +%s) + duration))
wrk -t1 -c4 -d"${duration}s" -s "$work/good.lua" "$base" >"$work/out/good" 2>&1 &
bg+=($!)
wrk -t1 -c2 -d"${duration}s" -s "$work/bad.lua" "$base" >"$work/out/bad" 2>&1 &
bg+=($!)
( while [ "$(date +%s)" -lt "$end_at" ]; do post cecho '{"message": "from a container"}'; echo; done ) \
  >"$work/out/container" &
bg+=($!)
( while [ "$(date +%s)" -lt "$end_at" ]; do post nap '{}'; echo; done ) >"$work/out/timeout" &
bg+=($!)
( n=0
  while [ "$(date +%s)" -lt "$end_at" ]; do
    sleep 3
    n=$((n + 1))
    printf 'extra%d:\n  type: process\n  command: "true"\n' "$n" >"$work/alias.d/extra.yaml"
    [ $((n % 10)) = 0 ] && kill -HUP "$vpid"
    if [ $((n % 20)) = 0 ]; then
      mv "$work/logs/app.log" "$work/logs/app.log.1"
      mv "$work/logs/audit.log" "$work/logs/audit.log.1"
      curl -s -o /dev/null -X POST -H "X-API-Key: $logs_key" "$base/internal/logs/reopen"
      rm -f "$work/logs/app.log.1" "$work/logs/audit.log.1"
    fi
  done ) &
bg+=($!)
bench_track "${bg[@]}"

# RSS: at minute 5 (a sixth of a shorter run) and the last sample taken
# while the load still runs.
warm_at=$((duration < 1800 ? duration / 6 : 300))
start_at=$((end_at - duration))
rss_warm=
rss_end=
while [ $(($(date +%s) + 10)) -lt "$end_at" ]; do
  sleep 10
  t=$(($(date +%s) - start_at))
  rss_end=$(rss_kib)
  if [ -z "$rss_warm" ] && [ "$t" -ge "$warm_at" ]; then
    rss_warm=$rss_end
    warm_at=$t
  fi
  [ $((t % 60)) -lt 10 ] && echo "t=${t}s rss=${rss_end}KiB fds=$(fds) pooled=$(pooled) threads=$(threads)"
done
rss_warm=${rss_warm:-$rss_end}
for p in "${bg[@]}"; do wait "$p" || true; done
bg=()
# The last runs, time-outs and container removals finish within seconds.
for _ in $(seq 30); do
  read -r fd1 th1 rd1 ct1 pr1 <<<"$(snapshot)"
  [ "$fd0 $th0 $rd0 $ct0 $pr0" = "$fd1 $th1 $rd1 $ct1 $pr1" ] && break
  sleep 1
done
fd_targets | grep -Ev "$pooled_re" | sort >"$work/out/fds.end"
pool_end=$(pooled)

echo "== requests per outcome"
echo "process aliases (echo, files):"; grep -E '^(status|socket)' "$work/out/good" | sed 's/^/  /'
echo "bad requests and unauthenticated:"; grep -E '^(status|socket)' "$work/out/bad" | sed 's/^/  /'
echo "container alias:"; sort "$work/out/container" | uniq -c | sed 's/^/  /'
echo "time-out alias:"; sort "$work/out/timeout" | uniq -c | sed 's/^/  /'
echo "reloads: $(grep -c 'reloaded successfully' "$work/logs/app.log" || true) in the current app log"
echo "== resources (start -> after the load)"
printf '  rss KiB        %s (start), %s (t=%ss), %s (last sample under load)\n' "$rss_start" "$rss_warm" "$warm_at" "$rss_end"
printf '  descriptors    %s -> %s\n  threads        %s -> %s\n  run dirs       %s -> %s\n' \
  "$fd0" "$fd1" "$th0" "$th1" "$rd0" "$rd1"
printf '  containers     %s -> %s\n  processes      %s -> %s\n' "$ct0" "$ct1" "$pr0" "$pr1"
printf '  pooled run cgroups at the end: %s (at most 64)\n' "$pool_end"
status=0
if [ $((rss_end * 10)) -gt $((rss_warm * 11)) ]; then
  echo "FAIL: RSS grew more than 10% after warm-up"; status=1
fi
if [ "$fd0 $th0 $rd0 $ct0 $pr0" != "$fd1 $th1 $rd1 $ct1 $pr1" ]; then
  echo "FAIL: not every resource is back to its start value"; status=1
  echo "descriptors (what they point to), start vs end:"
  diff "$work/out/fds.start" "$work/out/fds.end" || true
fi
if [ "${pool_end:-0}" -gt 64 ]; then
  echo "FAIL: more run cgroups pooled than the pool may hold"; status=1
fi
if ! kill -0 "$vpid" 2>/dev/null; then
  echo "FAIL: velquin is gone: $(tail -5 "$work/velquin.out")"; status=1
fi
[ "$status" = 0 ] && echo "PASS"
exit "$status"
