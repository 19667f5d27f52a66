#!/usr/bin/env bash
# Builds the Debian package and tries it as an operator would: lintian, the
# systemd units, install, layout, a real call and a log rotation under load,
# then purge. Run as root on Debian 12 where velquin is not installed; the
# machine is left as it was. The .deb stays in $VELQUIN_PACKAGE_DIR
# (default /tmp/velquin-package-check).
#
# VELQUIN_PACKAGE_FAST=1 builds the package without optimisation and without
# debug information, for the test run: on two cores that is most of the
# check's time saved. It is still the real package from debian/rules and goes
# through every check below, but it is not a package to ship.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${VELQUIN_PACKAGE_DIR:-/tmp/velquin-package-check}
started=$SECONDS

# Each step says when it starts, so that a slow run shows where the time went.
say() { printf '\n== %s (at %d s)\n' "$*" $((SECONDS - started)); }
fail() { printf 'package-check: FAIL: %s\n' "$*" >&2; exit 1; }

# expect_exit CODE COMMAND...: runs COMMAND and fails unless it exits with CODE.
expect_exit() {
  local want=$1 got=0
  shift
  "$@" || got=$?
  [[ $got == "$want" ]] || fail "'$*' exited $got, expected $want"
}

# expect_mode PATH "MODE OWNER GROUP"
expect_mode() {
  local got
  got=$(stat -c '%a %U %G' "$1") || fail "$1 is missing"
  [[ $got == "$2" ]] || fail "$1 is '$got', expected '$2'"
}

[[ $(id -u) == 0 ]] || fail "run as root"
if dpkg-query -W -f='${Status}' velquin 2>/dev/null | grep -q 'ok installed'; then
  fail "velquin is installed already; this check would purge it"
fi
[[ ! -e /etc/velquin ]] || fail "/etc/velquin exists; this check would change it"
if [[ -s /run/velquin.pid ]] && kill -0 "$(cat /run/velquin.pid)" 2>/dev/null; then
  fail "a velquin owns /run/velquin.pid; this check needs it"
fi

say "tools"
"$root/scripts/install-deps.sh"
tools=()
command -v dpkg-buildpackage >/dev/null || tools+=(dpkg-dev)
command -v dh >/dev/null || tools+=(debhelper)
command -v lintian >/dev/null || tools+=(lintian)
command -v systemd-analyze >/dev/null || tools+=(systemd)
command -v logrotate >/dev/null || tools+=(logrotate)
if ((${#tools[@]} > 0)); then
  export DEBIAN_FRONTEND=noninteractive
  # A machine whose build packages came preinstalled may have no package lists yet.
  apt-get install -y -qq --no-install-recommends "${tools[@]}" ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${tools[@]}"; }
fi

say "build"
# A copy of the tree (tracked and new files), so that the build leaves nothing
# in it and the .deb lands in $work instead of next to the repository.
rm -rf "$work"
mkdir -p "$work/src"
git -C "$root" ls-files -z --cached --others --exclude-standard |
  (cd "$root" && tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$work/src"
if command -v ccache >/dev/null; then
  # debhelper gives the build an empty HOME: name the cache and its settings.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_DIR=$(ccache -k cache_dir)
  export CCACHE_DIR
  for f in "${CCACHE_CONFIGPATH:-}" "${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf"; do
    if [[ -n $f && -f $f ]]; then
      export CCACHE_CONFIGPATH=$f
      break
    fi
  done
fi
build_options="parallel=$(nproc)"
if [[ ${VELQUIN_PACKAGE_FAST:-0} == 1 ]]; then
  # -O0, no -g (dpkg-buildflags drops it on request) and so no debug symbols
  # package: the compiler's share of the build is what a fresh machine pays.
  build_options+=" noopt noautodbgsym"
  export DEB_CXXFLAGS_STRIP=-g
fi
(cd "$work/src" && DEB_BUILD_OPTIONS=$build_options dpkg-buildpackage -b -us -uc) \
  >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; fail "dpkg-buildpackage (log: $work/build.log)"; }
version=$(dpkg-parsechangelog -l "$work/src/debian/changelog" -S Version)
deb="$work/velquin_${version}_$(dpkg --print-architecture).deb"
[[ -f $deb ]] || fail "$deb was not built"
echo "built $deb"

say "lintian"
lintian --fail-on error --info "$deb"

say "install"
cleanup() {
  local rc=$? state
  if ((${#loaders[@]} > 0)); then
    kill "${loaders[@]}" 2>/dev/null || true
    wait "${loaders[@]}" 2>/dev/null || true
  fi
  if [[ -n ${pid:-} ]] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -f /etc/velquin/alias.d/package-check.yaml /etc/velquin/auth.d/package-check.yaml
  # Whatever state an interrupted install left (unpacked, half-configured,
  # config files only), purge takes it away.
  state=$(dpkg-query -W -f='${db:Status-Status}' velquin 2>/dev/null || true)
  if [[ -n $state && $state != not-installed ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velquin >/dev/null || rc=1
  fi
  restore_logs
  rm -rf "$work/runs" "$work/logrotate.state"
  exit "$rc"
}
# A velquin started by hand writes /var/log/velquin without the package (a
# missing --config file is logged there even before the configuration is
# read), and purge removes that directory: keep what was there and put it
# back, with whatever was written meanwhile appended.
saved_logs="$work/saved-var-log-velquin"
restore_logs() {
  [[ -d $saved_logs ]] || return 0
  if [[ -d /var/log/velquin ]]; then
    for f in /var/log/velquin/*; do
      if [[ -f $f ]]; then cat "$f" >>"$saved_logs/${f##*/}"; fi
    done
    rm -rf /var/log/velquin
  fi
  mv "$saved_logs" /var/log/velquin
}
loaders=()
trap cleanup EXIT
# A run stopped from outside (a CI timeout, ^C) cleans up too.
trap 'exit 1' INT TERM HUP
if [[ -e /var/log/velquin ]]; then
  mv /var/log/velquin "$saved_logs"
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb"

say "units"
systemd-analyze verify /lib/systemd/system/velquin.service /lib/systemd/system/velquin.socket

say "layout"
expect_mode /usr/sbin/velquin "755 root root"
expect_mode /etc/velquin "755 root root"
expect_mode /etc/velquin/velquin.conf "640 root root"
expect_mode /etc/velquin/alias.d "750 root root"
expect_mode /etc/velquin/auth.d "750 root root"
expect_mode /var/log/velquin "750 root adm"
expect_mode /etc/logrotate.d/velquin "644 root root"
for f in /lib/systemd/system/velquin.service /lib/systemd/system/velquin.socket \
         /usr/share/doc/velquin/examples/alias.d/echo.yaml /usr/share/doc/velquin/docs; do
  [[ -e $f ]] || fail "$f is missing"
done
[[ -z $(find /etc/velquin/alias.d /etc/velquin/auth.d -mindepth 1) ]] || fail "alias.d or auth.d is not empty"
conffiles=$(dpkg-query -W -f='${Conffiles}' velquin)
for f in /etc/velquin/velquin.conf /etc/logrotate.d/velquin; do
  grep -q " $f " <<<"$conffiles" || fail "$f is not a conffile"
done
# Installed disabled and not running.
[[ ! -e /etc/systemd/system/multi-user.target.wants/velquin.service ]] || fail "velquin.service is enabled"
[[ ! -e /etc/systemd/system/sockets.target.wants/velquin.socket ]] || fail "velquin.socket is enabled"
for exe in /proc/[0-9]*/exe; do
  [[ $(readlink "$exe" 2>/dev/null) != /usr/sbin/velquin ]] || fail "a velquin runs: ${exe%/exe}"
done
[[ $(/usr/sbin/velquin --version) == "Velquin $version" ]] || fail "velquin --version: $(/usr/sbin/velquin --version)"

say "check mode"
# The bare installed configuration has no credentials.
expect_exit 1 /usr/sbin/velquin --check --config /etc/velquin/velquin.conf

say "credentials and an alias"
key=$(openssl rand -hex 32)
cat >/etc/velquin/alias.d/package-check.yaml <<'EOF'
package_check:
  type: process
  command: printf '%s\n' {{ message | shell }}
  parameters:
    message:
      type: string
      required: true
      pattern: "[a-z0-9 ]{1,40}"
  timeout: 5
EOF
cat >/etc/velquin/auth.d/package-check.yaml <<EOF
users:
  package_check:
    api_key_sha256: $(printf %s "$key" | sha256sum | cut -d' ' -f1)
    allowed_aliases: [package_check]
EOF

# With an alias and a key the check passes.
expect_exit 0 /usr/sbin/velquin --check --config /etc/velquin/velquin.conf

say "serve"
port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 20000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[[ -n $port ]] || fail "no free loopback port"
# Runs go to a directory of this check's own; everything else is the installed configuration.
mkdir -p "$work/runs"
/usr/sbin/velquin --config /etc/velquin/velquin.conf --listen-port "$port" --shared-dir "$work/runs/" &
pid=$!
url="http://127.0.0.1:$port/v1/package_check"
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  kill -0 "$pid" 2>/dev/null || fail "velquin exited at start (see /var/log/velquin/app.log)"
  sleep 0.1
done
call() {
  curl -s -o "$work/answer" -w '%{http_code}' -H "Authorization: Bearer $key" \
    -H 'Content-Type: application/json' -d "{\"message\": \"$1\"}" "$url"
}
[[ $(call "hello package") == 200 ]] || fail "call answered $(cat "$work/answer")"
grep -qx 'hello package' "$work/answer" || fail "unexpected answer: $(cat "$work/answer")"
[[ $(curl -s -o /dev/null -w '%{http_code}' -d '{}' "$url") == 401 ]] || fail "a call without a key was not refused"
grep -q '"alias":"package_check"' /var/log/velquin/audit.log || fail "no audit record"

say "log rotation under load"
# Every request of the load must have its audit record in one of the files.
requests=200
load() { for ((i = 0; i < requests / 4; i++)); do call "load $1" >/dev/null; done; }
for n in 1 2 3 4; do
  load "$n" &
  loaders+=($!)
done
for _ in 1 2 3; do
  sleep 0.5
  logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/velquin
done
wait "${loaders[@]}"
loaders=()
records=$(zcat -f /var/log/velquin/audit.log* | grep -c '"user":"package_check"')
[[ $records == $((requests + 1)) ]] || fail "$records audit records for $((requests + 1)) requests"
expect_mode /var/log/velquin/audit.log "640 root adm"
ls -l /var/log/velquin

say "stop"
kill -TERM "$pid"
expect_exit 0 wait "$pid"
pid=
[[ ! -e /run/velquin.pid ]] || fail "the PID file outlived the service"

say "purge"
rm -f /etc/velquin/alias.d/package-check.yaml /etc/velquin/auth.d/package-check.yaml
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velquin
for f in /usr/sbin/velquin /etc/velquin /var/log/velquin /var/lib/velquin /etc/logrotate.d/velquin \
         /lib/systemd/system/velquin.service; do
  [[ ! -e $f ]] || fail "$f is left after purge"
done
rm -rf "$work/src"

say "package-check passed in $((SECONDS - started)) s ($deb)"
