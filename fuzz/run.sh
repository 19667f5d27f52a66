#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS on its seed corpus.
#
#   fuzz/run.sh SECONDS [TARGET...]      (default: every target)
#
# Seeds are read from fuzz/corpus/<target>/ and never written: new inputs go to
# a scratch directory, and so do crash reproducers. Exits 1 when any target
# crashed (the reproducer's path is printed), 2 on a usage or build error.
#
#   VELQUIN_FUZZ_JOBS       targets run side by side (default 1)
#   VELQUIN_FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   VELQUIN_FUZZ_WORK       scratch directory (default: a new one below /tmp)
#   CXX                     the clang to build with (default clang++-14)
set -uo pipefail
cd "$(dirname "$0")/.."

ALL_TARGETS=(params config_file app_log aliases shell_quoting template parameters jwt webhook_signature)

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]   targets: ${ALL_TARGETS[*]}" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${ALL_TARGETS[@]}")
fi
for t in "${targets[@]}"; do
  if [[ " ${ALL_TARGETS[*]} " != *" $t "* ]]; then
    echo "fuzz/run.sh: unknown target '$t' (targets: ${ALL_TARGETS[*]})" >&2
    exit 2
  fi
done

jobs=${VELQUIN_FUZZ_JOBS:-1}
build_dir=${VELQUIN_FUZZ_BUILD_DIR:-build-fuzz}
work=${VELQUIN_FUZZ_WORK:-$(mktemp -d /tmp/velquin-fuzz-XXXXXX)}
mkdir -p "$work"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" \
  -DVELQUIN_FUZZ=ON -DVELQUIN_BUILD_TESTS=OFF -DVELQUIN_WERROR=ON "${launcher[@]}" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; exit 2; }
cmake --build "$build_dir" -j2 --target "${targets[@]/#/fuzz_}" >"$work/build.log" 2>&1 ||
  { tail -50 "$work/build.log" >&2; exit 2; }

run_one() {
  local t=$1
  local corpus="$work/corpus/$t"
  mkdir -p "$corpus" "$work/artifacts"
  local options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-"
                 -timeout=60 -rss_limit_mb=2048 -max_len=4096)
  local dict
  case $t in
    params) dict=params ;;
    config_file | app_log) dict=config ;;
    aliases | parameters) dict=yaml ;;
    template) dict=shell ;;
    jwt) dict=jwt ;;
    *) dict= ;;
  esac
  if [ -n "$dict" ]; then
    options+=(-dict="fuzz/dict/$dict.dict")
  fi
  "$build_dir/fuzz/fuzz_$t" "${options[@]}" "$corpus" "fuzz/corpus/$t" >"$work/$t.log" 2>&1
  echo $? >"$work/$t.rc"
}

pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n
  done
  echo "fuzz: $t for ${seconds}s"
  run_one "$t" &
  pids+=($!)
done
wait "${pids[@]}"

failed=0
printf '%-14s %12s %10s  %s\n' target execs exec/s result
for t in "${targets[@]}"; do
  rc=$(cat "$work/$t.rc" 2>/dev/null || echo 99)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$t.log" | tail -1)
  result=ok
  if [ "$rc" != 0 ]; then
    result="CRASH (exit $rc): see $work/$t.log"
    failed=1
  fi
  printf '%-14s %12s %10s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "$result"
done
if [ "$failed" = 0 ] && [ -z "${VELQUIN_FUZZ_WORK:-}" ]; then
  rm -rf "$work"
else
  echo "fuzz: logs, new inputs and reproducers in $work"
fi
exit "$failed"
