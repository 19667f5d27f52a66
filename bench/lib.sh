# shellcheck shell=bash
# shellcheck disable=SC2034 # key, key_hash, velquin_*, stop_status: for the caller
# Set-up shared by the bench scripts: a throw-away configuration on a free
# loopback port, a velquin started on it, memory readings and a clean-up that
# ends only what the script itself started. Sourced, never run:
#
#   here=$(cd "$(dirname "$0")" && pwd)
#   source "$here/lib.sh"
#   bench_init            # $work, and the clean-up trap
#
# Needs bash, python3 (free_port) and coreutils.

bench_pids=()
bench_exit_hooks=()

# Makes the temporary directory $work and installs the clean-up trap: on exit,
# and on INT or TERM (which then end the script), every PID passed to
# bench_track that still runs gets SIGTERM and is waited for, the hooks of
# bench_at_exit run, and $work is removed.
bench_init() {
  work=$(mktemp -d)
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

bench_cleanup() {
  local p hook running
  # Only what still runs as a job of this shell: a PID that ended may by now
  # belong to someone else.
  running=" $(jobs -pr | tr '\n' ' ') "
  for p in "${bench_pids[@]}"; do
    if [[ $running == *" $p "* ]]; then kill -TERM "$p" 2>/dev/null || true; fi
  done
  for p in "${bench_pids[@]}"; do
    wait "$p" 2>/dev/null || true
  done
  bench_pids=()
  for hook in "${bench_exit_hooks[@]}"; do
    eval "$hook" || true
  done
  if [[ -n ${work:-} ]]; then rm -rf "$work"; fi
}

# bench_track PID...: ends these at exit unless they have been stopped before.
bench_track() { bench_pids+=("$@"); }

# bench_at_exit COMMAND: runs COMMAND (a string for eval) during the clean-up,
# after the tracked processes have ended.
bench_at_exit() { bench_exit_hooks+=("$1"); }

# stop_pid PID: SIGTERM to a process this script started; waits for it and
# sets `stop_status` to its exit status.
stop_pid() {
  local p=$1 kept=() q
  kill -TERM "$p" 2>/dev/null || true
  stop_status=0
  wait "$p" 2>/dev/null || stop_status=$?
  for q in "${bench_pids[@]}"; do
    [[ $q == "$p" ]] || kept+=("$q")
  done
  bench_pids=("${kept[@]}")
}

# Sets `key` to a random API key and `key_hash` to its SHA-256 in hex.
bench_key() {
  key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
  key_hash=$(printf %s "$key" | sha256sum | cut -d' ' -f1)
}

# A loopback port nobody listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# write_config DIR [SETTING...]: writes DIR/velquin.conf for a velquin on a
# free loopback port, everything below DIR: auth.d, alias.d, logs (an info
# app log, where "Listening on" appears, and an audit log), shared and the
# PID file; no containers for the service itself. Each SETTING is a line
# "Key value" that replaces the line of the same key or is added. Creates the
# four directories the configuration names.
write_config() {
  local dir=$1 setting line replaced i
  shift
  local conf_lines=(
    "ListenAddress 127.0.0.1"
    "ListenPort $(free_port)"
    "AuthDir $dir/auth.d"
    "AliasDir $dir/alias.d"
    "LogDir $dir/logs"
    "AppLog app.log info"
    "AuditLog audit.log"
    "SharedDir $dir/shared"
    "PidFile $dir/velquin.pid"
    "Container 0"
  )
  for setting in "$@"; do
    replaced=
    for i in "${!conf_lines[@]}"; do
      if [[ ${conf_lines[i]%% *} == "${setting%% *}" ]]; then
        conf_lines[i]=$setting
        replaced=1
      fi
    done
    [[ -n $replaced ]] || conf_lines+=("$setting")
  done
  for line in "${conf_lines[@]}"; do
    case ${line%% *} in
      AuthDir | AliasDir | LogDir | SharedDir) mkdir -p "${line#* }" ;;
    esac
  done
  mkdir -p "$dir"
  printf '%s\n' "${conf_lines[@]}" >"$dir/velquin.conf"
}

# conf_value CONF KEY: the value of KEY in a configuration file.
conf_value() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }

# write_users AUTH_DIR ALIAS...: a user "bench" with the key of bench_key,
# allowed the aliases named.
write_users() {
  local dir=$1 list
  shift
  list=$(printf '%s, ' "$@")
  mkdir -p "$dir"
  cat >"$dir/users.yaml" <<EOF
users:
  bench:
    api_key_sha256: $key_hash
    allowed_aliases: [${list%, }]
EOF
}

# write_aliases DIR COUNT [plain]: COUNT files alias_I.yaml, each a process
# alias alias_I with one validated parameter and, unless "plain", a
# single_value output.
write_aliases() {
  local dir=$1 count=$2 output i
  output=$'  output:\n    single_value:\n      source: "%stdOut"\n'
  [[ ${3:-} == plain ]] && output=
  mkdir -p "$dir"
  for ((i = 0; i < count; i++)); do
    {
      cat <<YAML
alias_$i:
  type: process
  command: echo {{ message | shell }} $i
  timeout: 10
  parameters:
    message:
      type: string
      pattern: "^[a-z ]{1,64}\$"
      default: hello
YAML
      printf '%s' "$output"
    } >"$dir/alias_$i.yaml"
  done
}

# start_velquin CONF COMMAND...: runs `COMMAND --config CONF` in the
# background (COMMAND is the binary, or a launcher such as `taskset -c 0` in
# front of it), output appended to velquin.out next to CONF; sets
# `velquin_pid` (tracked for the clean-up) and `velquin_port` once "Listening
# on" appears in the app log. Exits the script when the process ends first
# or does not listen within a minute.
start_velquin() {
  local conf=$1 log offset
  shift
  log=$(conf_value "$conf" LogDir)/app.log
  # An earlier instance may have written to the same log.
  offset=$(stat -c %s "$log" 2>/dev/null || echo 0)
  "$@" --config "$conf" >>"$(dirname "$conf")/velquin.out" 2>&1 &
  velquin_pid=$!
  bench_track "$velquin_pid"
  velquin_port=$(conf_value "$conf" ListenPort)
  local deadline=$((SECONDS + 60))
  until [[ $(tail -c +$((offset + 1)) "$log" 2>/dev/null) == *"Listening on"* ]]; do
    if ! kill -0 "$velquin_pid" 2>/dev/null || ((SECONDS > deadline)); then
      echo "velquin did not start:" >&2
      cat "$(dirname "$conf")/velquin.out" >&2
      exit 1
    fi
    sleep 0.002
  done
}

# Memory of a running process in KiB, from /proc/PID/status: resident now,
# and its peak.
rss_of() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
peak_rss_of() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# "rss private_dirty" of a process in KiB, from smaps_rollup.
smaps_of() {
  awk '/^Rss:/ { r = $2 } /^Private_Dirty:/ { p = $2 } END { print r + 0, p + 0 }' \
    "/proc/$1/smaps_rollup"
}
