#!/bin/sh
# Installs the build into a temporary prefix, builds the consumer programs
# against it (through find_package, a project in C alone too, then through
# pkg-config), then with this source tree as a subproject (add_subdirectory,
# and FetchContent for the C-only project), runs them and finds their records
# in the logs.
#   consumers.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER CXX_COMPILER
set -eu
build=$1 source=$2 cc=$3 cxx=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/vez-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/vezlog.h bin/aud bin/logmsg share/man/man1/aud.1.gz; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

check() { # program, what its records say
  logs=$work/logs-$(basename "$1")
  mkdir -p "$logs"
  printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"LOGPATH"="%s"\r\n"LOGNOTIFYDEV"="NUL"\r\n' \
    "$logs" > "$work/registry.reg"
  VEZ_REGISTRY=$work/registry.reg TMPDIR=$logs LD_LIBRARY_PATH=$prefix/lib:${LD_LIBRARY_PATH:-} "$1"
  grep -q "Desc:error from the $2 consumer" "$logs/error" || { echo "no error record from $1"; exit 1; }
  grep -q "Desc:audit from the $2 consumer" "$logs/$(basename "$1")" || { echo "no audit record from $1"; exit 1; }
  echo "ok: $1"
}

# through find_package(vezlog CONFIG)
cmake -S "$source" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
check "$work/cmake-build/consumer_c" C
check "$work/cmake-build/consumer_cpp" C++

# a project in C alone, through find_package: the library's C++ runtime comes with it
cmake -S "$source/c-only" -B "$work/c-only" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/c-only" >/dev/null || { echo "a C-only project cannot link the installed library"; exit 1; }
check "$work/c-only/consumer_c_only" C

# through pkg-config
pc=$(find "$prefix" -name vezlog.pc)
export PKG_CONFIG_PATH=$(dirname "$pc")
mkdir -p "$work/pc"
# shellcheck disable=SC2046
"$cc" -o "$work/pc/consumer_c" "$source/consumer.c" $(pkg-config --cflags --libs vezlog)
# shellcheck disable=SC2046
"$cxx" -o "$work/pc/consumer_cpp" "$source/consumer.cpp" $(pkg-config --cflags --libs vezlog)
check "$work/pc/consumer_c" C
check "$work/pc/consumer_cpp" C++

# this tree as a subproject: the library alone, no tests and no install rules
tree=$(cd "$(dirname "$0")/../.." && pwd)
cmake -S "$source" -B "$work/sub" -DVEZLOG_SOURCE_DIR="$tree" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/sub" >/dev/null
grep -q '^VEZ_TESTS:BOOL=OFF' "$work/sub/CMakeCache.txt" || { echo "a subproject builds the tests"; exit 1; }
[ ! -e "$work/sub/vezlog/cmake_install.cmake" ] || ! grep -q vezlogTargets "$work/sub/vezlog/cmake_install.cmake" ||
  { echo "a subproject has install rules"; exit 1; }
check "$work/sub/consumer_c" C
check "$work/sub/consumer_cpp" C++

# a project in C alone, with this tree built along by add_subdirectory and by FetchContent
for how in add_subdirectory FetchContent; do
  cmake -S "$source/c-only" -B "$work/c-only-$how" -DVEZLOG_SOURCE_DIR="$tree" -DVEZLOG_HOW=$how \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
  cmake --build "$work/c-only-$how" >/dev/null || { echo "a C-only project cannot link it ($how)"; exit 1; }
  check "$work/c-only-$how/consumer_c_only" C
done
