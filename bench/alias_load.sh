#!/usr/bin/env bash
# How long loading 1,000 alias files takes: starts velquin on a generated
# configuration, triggers a reload with SIGHUP and reads the two log time
# stamps that bracket the alias reload.
#
#   bench/alias_load.sh [BINARY] [COUNT]
set -euo pipefail

binary=${1:-build/velquin}
count=${2:-1000}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
source "$here/lib.sh"
bench_init

bench_key
write_aliases "$work/alias.d" "$count"
write_config "$work" "AuthReload 0" "AliasReload 0"
write_users "$work/auth.d" alias_0

start=$(date +%s%N)
start_velquin "$work/velquin.conf" "$binary"
pid=$velquin_pid
ready=$(date +%s%N)
kill -HUP "$pid"
until grep -q "Alias configuration reloaded successfully" "$work/logs/app.log"; do sleep 0.01; done

stamp_ms() {  # "2026-01-01 12:00:05,123 ..." -> milliseconds of the day
  grep -m1 "$1" "$work/logs/app.log" | awk '{ split($2, t, /[:,]/); print ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4] }'
}
auth_done=$(stamp_ms "Auth configuration reloaded successfully")
alias_done=$(stamp_ms "Alias configuration reloaded successfully")
echo "aliases: $count"
echo "start-up to listening: $(( (ready - start) / 1000000 )) ms (includes process start and loading)"
echo "alias reload (load, validate, swap): $((alias_done - auth_done)) ms"
echo "idle RSS: $(rss_of "$pid") kB"
