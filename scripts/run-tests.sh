#!/usr/bin/env bash
# Installs what the tests need, starts the container test engine and the local
# registry, builds with warnings as errors and runs every test. The exit code
# is the test run's.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

scripts/install-deps.sh || exit 1

engine_started=0
if [ "${VELQUIN_TEST_DOCKER:-1}" != "0" ]; then
  scripts/test-env.sh || exit 1
  engine_started=1
fi
# shellcheck disable=SC2317 # run by the EXIT trap
stop_engine() {
  if [ "$engine_started" = 1 ]; then
    scripts/test-env.sh stop || true
  fi
}
trap stop_engine EXIT

build_dir=${VELQUIN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQUIN_WERROR=ON -DVELQUIN_BUILD_TESTS=ON || exit 1
cmake --build "$build_dir" -j2 || exit 1
scripts/lint.sh --format-only "$build_dir" || exit 1
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 600
status=$?

if [ "$status" = 0 ] && [ "${VELQUIN_SANITIZE_RUN:-1}" != "0" ]; then
  # Once more under AddressSanitizer and UndefinedBehaviorSanitizer, unit tests only.
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELQUIN_WERROR=ON -DVELQUIN_BUILD_TESTS=ON \
    -DVELQUIN_SANITIZE=address,undefined || exit 1
  cmake --build build-asan -j2 || exit 1
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 -LE 'e2e|docker'
  status=$?
fi

if [ "$status" = 0 ] && [ "${VELQUIN_TSAN_RUN:-1}" != "0" ]; then
  # Once more under ThreadSanitizer: the modules that run code on several
  # threads, and the end-to-end tests, whose harness fails a test when a
  # velquin process it started wrote a report.
  tsan_modules="api watcher velquin executor logger config e2e"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQUIN_WERROR=ON \
    -DVELQUIN_BUILD_TESTS=ON -DVELQUIN_SANITIZE=thread || exit 1
  # shellcheck disable=SC2046,SC2086
  cmake --build build-tsan -j2 --target velquin $(printf '%s_test ' $tsan_modules) || exit 1
  TSAN_OPTIONS="second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j2 --timeout 900 \
    -L "^(${tsan_modules// /|})\$"
  status=$?
fi

if [ "$status" = 0 ] && [ "${VELQUIN_FUZZ_RUN:-1}" != "0" ]; then
  # Every fuzz target for a short while on its seeds, two side by side.
  VELQUIN_FUZZ_JOBS=2 fuzz/run.sh "${VELQUIN_FUZZ_SECONDS:-20}"
  status=$?
fi
if [ "$status" = 0 ] && [ "${VELQUIN_PACKAGE_RUN:-1}" != "0" ]; then
  # The Debian package as an operator gets it: built, installed with apt-get,
  # checked with and without credentials, called with curl and purged. Built
  # without optimisation to fit the run's time; the check leaves the machine
  # as it found it, also when it fails.
  VELQUIN_PACKAGE_FAST=1 scripts/package-check.sh
  status=$?
fi
if [ "$status" = 0 ] && [ "${VELQUIN_TIDY_RUN:-1}" != "0" ]; then
  # clang-tidy on all of src/, as .clang-tidy says; every finding fails the run.
  scripts/lint.sh --tidy-only "$build_dir"
  status=$?
fi
exit "$status"
