# What the project's scripts share: installing what a fresh Debian machine lacks, and building.
# Sourced, not run.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=/usr/bin/python3   # Debian's Python, which python3-pytest installs into

# package -> a file that shows it is installed
VORNEL_PACKAGES=(
  "cmake:/usr/bin/cmake"
  "ninja-build:/usr/bin/ninja"
  "g++:/usr/bin/g++"
  "clang:/usr/bin/clang++"
  "libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a"
  "googletest:/usr/src/googletest/CMakeLists.txt"
  "libgtest-dev:/usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake"
  "libgmock-dev:/usr/include/gmock/gmock.h"
  "g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix"
  "binutils-mingw-w64-x86-64:/usr/bin/x86_64-w64-mingw32-windmc"
  "wine64:/usr/lib/wine/wine64"
  "wine:/usr/bin/wine-stable"
  "python3-pytest:/usr/lib/python3/dist-packages/pytest/__init__.py"
  # scripts/msvc-syntax: clang-cl (in LLVM's own bin folder), llvm-lib and llvm-rc, lld-link,
  # libc++'s headers, Wine's Windows and C runtime headers
  "clang-tools:/usr/bin/clang-check"
  "llvm:/usr/bin/llvm-lib"
  "lld:/usr/bin/lld-link"
  "libc++-dev:/usr/include/c++/v1/vector"
  "libwine-dev:/usr/include/wine/wine/windows/windows.h"
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
  local missing=() entry
  for entry in "${VORNEL_PACKAGES[@]}"; do
    [ -e "${entry#*:}" ] || missing+=("${entry%%:*}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure (once) and build one preset
build_preset() {
  local preset=$1
  if [ ! -f "$REPO/build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" -S "$REPO" >/dev/null || return 1
  fi
  cmake --build --preset "$preset" -- -k 0 >"$REPO/build/$preset.build.log" 2>&1 || {
    tail -n 40 "$REPO/build/$preset.build.log"
    return 1
  }
}
