#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds and runs a consumer
# project that finds it with find_package(qai).
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:$work/prefix/lib/x86_64-linux-gnu" "$work/build/qai_consumer"
