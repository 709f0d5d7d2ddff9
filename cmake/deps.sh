#!/bin/sh
# deps.sh build|test - installs what a build needs and the machine lacks,
# from the distribution's packages (apt-get: Debian, Ubuntu), as root or
# through sudo. "build": the compiler, make and cmake; "test": also the
# GoogleTest sources and the tools the install tests call. Nothing is
# installed, and nothing asked for, when everything is there already.
set -eu

case "${1:-}" in
build | test) what=$1 ;;
*)
  echo "usage: sh cmake/deps.sh build|test" >&2
  exit 2
  ;;
esac

have() { command -v "$1" >/dev/null 2>&1; }

need=""
have cmake || need="$need cmake"
have g++ || need="$need g++"
have make || need="$need make"
if [ "$what" = test ]; then
  [ -f /usr/src/googletest/CMakeLists.txt ] || [ -f /usr/include/gtest/gtest.h ] ||
    need="$need googletest"
  have pkg-config || need="$need pkg-config"
  # the Debian package is made and tried by the tests
  have dpkg-shlibdeps || need="$need dpkg-dev"
  have file || need="$need file"
fi
[ -n "$need" ] || exit 0

if ! have apt-get; then
  echo "deps.sh: missing:$need; install them with this system's package manager" >&2
  exit 1
fi
sudo=""
if [ "$(id -u)" != 0 ]; then
  if ! have sudo; then
    echo "deps.sh: missing:$need; installing them needs root or sudo" >&2
    exit 1
  fi
  sudo=sudo
fi
echo "deps.sh: installing$need"
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
