#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds and runs a consumer
# project that finds it with find_package(qai).
#   run.sh BUILD_DIR [TOOLCHAIN_FILE EMULATOR]   (the last two for a cross build)
set -euo pipefail
build_dir=$1
toolchain=${2:-}
emulator=${3:-}
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dqai_DIR="$work/prefix/lib/cmake/qai"} >/dev/null
cmake --build "$work/build" >/dev/null
if [ -n "$emulator" ]; then
  # Windows finds the installed DLLs beside the program.
  cp "$work"/prefix/bin/*.dll "$work/build/"
  $emulator "$work/build/qai_consumer.exe"
else
  LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:$work/prefix/lib/x86_64-linux-gnu" "$work/build/qai_consumer"
fi
