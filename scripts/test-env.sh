#!/usr/bin/env bash
# Brings up what the container tests need: a Docker Engine on the default
# socket, a registry on 127.0.0.1:5000 and a tiny busybox image in both.
# Idempotent; run as root. "scripts/test-env.sh stop" stops only what this
# script started (by the PIDs it recorded).
set -euo pipefail

STATE_DIR=${VELQUIN_TEST_ENV_DIR:-/tmp/velquin-test-env}
SOCKET=/var/run/docker.sock
REGISTRY=127.0.0.1:5000
IMAGE=velquin-test/busybox:latest
REGISTRY_IMAGE=$REGISTRY/$IMAGE

step() { printf 'test-env: %s\n' "$*"; }
fail() { printf 'test-env: ERROR: %s\n' "$*" >&2; exit 1; }

engine_answers() { curl -sf --max-time 2 --unix-socket "$SOCKET" http://localhost/_ping >/dev/null 2>&1; }
registry_answers() { curl -sf --max-time 2 "http://$REGISTRY/v2/" >/dev/null 2>&1; }

pid_alive() { [[ -f $1 ]] && kill -0 "$(cat "$1")" 2>/dev/null; }

# Waits up to $2 seconds for the check command $1.
wait_for() {
  local check=$1 limit=$2 i
  for ((i = 0; i < limit * 4; i++)); do
    if $check; then return 0; fi
    sleep 0.25
  done
  return 1
}

stop_pidfile() {
  local name=$1 file=$2 pid i
  if ! pid_alive "$file"; then
    step "$name: not started by this script"
    rm -f "$file"
    return
  fi
  pid=$(cat "$file")
  kill -TERM "$pid"
  for ((i = 0; i < 120; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.25
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
  fi
  rm -f "$file"
  step "$name: stopped (pid $pid)"
}

if [[ ${1:-start} == stop ]]; then
  stop_pidfile registry "$STATE_DIR/registry.pid"
  stop_pidfile dockerd "$STATE_DIR/dockerd.pid"
  exit 0
fi
[[ ${1:-start} == start ]] || fail "usage: $0 [start|stop]"
[[ $(id -u) -eq 0 ]] || fail "run as root"
mkdir -p "$STATE_DIR"

missing=()
command -v dockerd >/dev/null || missing+=(docker.io)
command -v docker-registry >/dev/null || missing+=(docker-registry)
# The image needs a static busybox: a dynamic one finds no libc in the container.
dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q "install ok installed" || missing+=(busybox-static)
if ((${#missing[@]})); then
  step "packages: installing ${missing[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; } \
    >"$STATE_DIR/apt.log" 2>&1 || fail "apt-get install failed, see $STATE_DIR/apt.log"
else
  step "packages: present"
fi

if engine_answers; then
  step "dockerd: already answering on $SOCKET"
else
  # No bridge and no iptables: the test containers run without a network.
  nohup dockerd --bridge=none --iptables=false --ip-masq=false \
    --host "unix://$SOCKET" --pidfile "$STATE_DIR/dockerd.pid" \
    >"$STATE_DIR/dockerd.log" 2>&1 </dev/null &
  wait_for engine_answers 60 || fail "dockerd did not answer within 60 s, see $STATE_DIR/dockerd.log"
  step "dockerd: started (pid $(cat "$STATE_DIR/dockerd.pid"), log $STATE_DIR/dockerd.log)"
fi

if registry_answers; then
  step "registry: already answering on $REGISTRY"
else
  mkdir -p "$STATE_DIR/registry-data"
  cat >"$STATE_DIR/registry.yml" <<EOF
version: 0.1
log:
  level: warn
storage:
  filesystem:
    rootdirectory: $STATE_DIR/registry-data
  delete:
    enabled: true
http:
  addr: $REGISTRY
EOF
  nohup docker-registry serve "$STATE_DIR/registry.yml" >"$STATE_DIR/registry.log" 2>&1 </dev/null &
  echo $! >"$STATE_DIR/registry.pid"
  wait_for registry_answers 30 || fail "registry did not answer within 30 s, see $STATE_DIR/registry.log"
  step "registry: started (pid $(cat "$STATE_DIR/registry.pid"), log $STATE_DIR/registry.log)"
fi

if docker image inspect "$IMAGE" >/dev/null 2>&1; then
  step "image: $IMAGE present"
else
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root/bin" "$root/etc" "$root/tmp" "$root/proc" "$root/sys" "$root/dev"
  chmod 1777 "$root/tmp"
  cp /bin/busybox "$root/bin/busybox"
  # Relative links: the absolute ones of "busybox --install -s" would point
  # at this temporary root.
  for applet in $(/bin/busybox --list); do
    [[ $applet == busybox ]] || ln -sf busybox "$root/bin/$applet"
  done
  printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/false\n' >"$root/etc/passwd"
  printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
  tar -C "$root" -cf - . | docker import --change 'ENV PATH=/bin' --change 'CMD ["/bin/sh"]' - "$IMAGE" >/dev/null
  step "image: built $IMAGE"
fi

# A second name for the test that removes its local copy to force a pull;
# tests running in parallel keep using the first.
for name in "$REGISTRY_IMAGE" "$REGISTRY/velquin-test/busybox:pull-on-create"; do
  docker tag "$IMAGE" "$name"
  docker push "$name" >"$STATE_DIR/push.log" 2>&1 || fail "push failed, see $STATE_DIR/push.log"
  step "image: pushed $name"
done
step "ready"
