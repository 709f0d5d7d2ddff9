#!/bin/sh
# deps.sh build|test - installs what a build needs and the machine lacks,
# from the distribution's packages (apt-get: Debian 12 or later, Ubuntu 24.04
# or later), as root or through sudo. "build": the compiler, make, cmake
# (3.25 or later: the presets' workflows need it) and libcrypto's headers
# (libssl-dev); "test": also the
# GoogleTest sources, the tools the install tests call and Python 3. Nothing is
# installed, and nothing asked for, when everything is there already; an
# older CMake is refused with a message.
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
# the library's cryptography (sealed logs) is libcrypto's
[ -f /usr/include/openssl/evp.h ] || need="$need libssl-dev"
if [ "$what" = test ]; then
  [ -f /usr/src/googletest/CMakeLists.txt ] || [ -f /usr/include/gtest/gtest.h ] ||
    need="$need googletest"
  have pkg-config || need="$need pkg-config"
  # the Debian packages are made and tried by the tests
  have dpkg-shlibdeps || need="$need dpkg-dev"
  have file || need="$need file"
  # the benchmarks' scripts and the readers' tests are Python 3 (a container's root has none)
  have python3 || need="$need python3"
fi

if [ -n "$need" ]; then
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
  echo "deps.sh: installing$need from the distribution's packages (a minute or so)"
  echo "deps.sh: apt-get update"
  $sudo apt-get update -qq
  echo "deps.sh: apt-get install$need"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
  echo "deps.sh: installed$need"
fi

# the presets' workflows need CMake 3.25 (Debian 12 has 3.25, Ubuntu 22.04 only 3.22)
version=$(cmake --version | sed -n 's/^cmake version \([0-9][0-9]*\)\.\([0-9][0-9]*\).*/\1 \2/p')
set -- $version
if [ "${1:-0}" -lt 3 ] || { [ "${1:-0}" -eq 3 ] && [ "${2:-0}" -lt 25 ]; }; then
  echo "deps.sh: CMake 3.25 or later is needed, this machine has $(cmake --version | head -1);" >&2
  echo "deps.sh: Debian 12 or Ubuntu 24.04 and later have it, or install a newer one" >&2
  echo "deps.sh: (Kitware's APT repository, or 'pip install cmake') before it on PATH" >&2
  exit 1
fi
