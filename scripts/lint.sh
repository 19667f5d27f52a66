#!/usr/bin/env bash
# Formatting (clang-format, as .clang-format says) of every C++ file, then
# clang-tidy (as .clang-tidy says) on every source file under src/, with each
# finding an error. Needs the compile database of a configured build.
# Usage: scripts/lint.sh [--format-only | --tidy-only] [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
mode=all
case "${1:-}" in
  --format-only) mode=format; shift ;;
  --tidy-only) mode=tidy; shift ;;
esac
build_dir=${1:-build}
status=0

mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 'fuzz/*.h' 'bench/*.cpp')
if [ "$mode" != tidy ] && ! clang-format-14 --dry-run --Werror "${files[@]}"; then
  echo "lint: formatting differs; run: clang-format-14 -i \$(git ls-files '*.cpp' '*.h')" >&2
  status=1
fi

if [ "$mode" = format ]; then
  exit "$status"
fi
if [ ! -f "$build_dir/compile_commands.json" ]; then
  echo "lint: no $build_dir/compile_commands.json; configure a build first" >&2
  exit 1
fi
mapfile -t sources < <(git ls-files 'src/*.cpp')
if ! run-clang-tidy-14 -quiet -p "$build_dir" -j "$(nproc)" \
    "${sources[@]/#/$PWD/}" > "$build_dir/clang-tidy.log" 2>&1; then
  grep -E 'warning:|error:' "$build_dir/clang-tidy.log" | sort -u >&2
  echo "lint: clang-tidy found problems (full log: $build_dir/clang-tidy.log)" >&2
  status=1
fi
exit "$status"
