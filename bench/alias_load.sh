#!/bin/sh
# How long loading 1,000 alias files takes: starts velquin on a generated
# configuration, triggers a reload with SIGHUP and reads the two log time
# stamps that bracket the alias reload.
#
#   bench/alias_load.sh [BINARY] [COUNT]
set -eu

binary=${1:-build/velquin}
count=${2:-1000}
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/alias.d" "$work/auth.d" "$work/logs"
i=0
while [ "$i" -lt "$count" ]; do
  cat >"$work/alias.d/alias_$i.yaml" <<YAML
alias_$i:
  type: process
  command: echo {{ message | shell }} $i
  timeout: 10
  parameters:
    message:
      type: string
      pattern: "^[a-z ]{1,64}\$"
      default: hello
  output:
    single_value:
      source: "%stdOut"
YAML
  i=$((i + 1))
done
cat >"$work/auth.d/users.yaml" <<YAML
users:
  bench:
    api_key_sha256: e221f7025595f37d2517e15f48d97ea1c77bc9daca4ba11896ea3261401ea6e5
    allowed_aliases: [alias_0]
YAML
port=$(awk 'BEGIN { srand(); print 20000 + int(rand() * 20000) }')
cat >"$work/velquin.conf" <<CONF
ListenAddress 127.0.0.1
ListenPort $port
AuthDir $work/auth.d
AliasDir $work/alias.d
LogDir $work/logs
AppLog app.log info
PidFile $work/velquin.pid
AuthReload 0
AliasReload 0
Container 0
CONF

start=$(date +%s%N)
"$binary" --config "$work/velquin.conf" >"$work/out" 2>&1 &
pid=$!
until grep -q "Listening on" "$work/logs/app.log" 2>/dev/null; do
  kill -0 "$pid" 2>/dev/null || { cat "$work/out" >&2; exit 1; }
  sleep 0.01
done
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
echo "idle RSS: $(awk '/VmRSS/ { print $2, $3 }' /proc/$pid/status)"
