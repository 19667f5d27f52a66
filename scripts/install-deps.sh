#!/usr/bin/env bash
# Installs the Debian packages needed to build and test Velquin (run as root).
# Packages already present are not touched, so a second run needs no network.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates openssl
  libyaml-cpp-dev nlohmann-json3-dev libssl-dev libzip-dev zlib1g-dev
  libboost-dev libcurl4-openssl-dev libspdlog-dev libfmt-dev libcli11-dev libre2-dev
  libcrypt-dev googletest libgtest-dev libgmock-dev
  clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14
  curl whois wrk socat haproxy iproute2
  systemd prometheus
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all build packages present"
fi
