#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds and runs a host project
# against it, as a host's build would find it:
#   run.sh cmake BUILD_DIR [TOOLCHAIN_FILE EMULATOR]   find_package(qai 1.2); the last two for a cross build
#   run.sh pkg-config BUILD_DIR                        pkg-config --cflags --libs qai, with $CXX (Linux only:
#                                                      the cross build's hosts use the CMake package)
# The pkg-config build runs from a moved copy of the install: the package must
# not depend on the prefix it was installed into.
set -euo pipefail
mode=$1
build_dir=$2
toolchain=${3:-}
emulator=${4:-}
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

case $mode in
cmake)
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
  ;;
pkg-config)
  mv "$work/prefix" "$work/moved"
  pc_file=$(find "$work/moved" -name qai.pc)
  export PKG_CONFIG_PATH=$(dirname "$pc_file")
  pkg_config=${PKG_CONFIG:-pkg-config}
  "$pkg_config" --atleast-version=1.2 qai
  # shellcheck disable=SC2046  # the flags are meant to split into words
  ${CXX:-c++} -std=c++20 -o "$work/qai_consumer" "$source_dir/main.cpp" $("$pkg_config" --cflags --libs qai)
  output=$(LD_LIBRARY_PATH=$("$pkg_config" --variable=libdir qai) "$work/qai_consumer")
  echo "$output"
  # The header the program was built with and the package agree on the version.
  version=$("$pkg_config" --modversion qai)
  if [ "$(head -n 1 <<<"$output")" != "$version" ]; then
    echo "qai.pc says version $version, the installed qai.h another" >&2
    exit 1
  fi
  ;;
*)
  echo "usage: run.sh (cmake | pkg-config) BUILD_DIR [TOOLCHAIN_FILE EMULATOR]" >&2
  exit 2
  ;;
esac
