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
  "googletest:/usr/src/googletest/CMakeLists.txt"
  "libgtest-dev:/usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake"
  "libgmock-dev:/usr/include/gmock/gmock.h"
  "g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix"
  "binutils-mingw-w64-x86-64:/usr/bin/x86_64-w64-mingw32-windmc"
  "wine64:/usr/lib/wine/wine64"
  "wine:/usr/bin/wine-stable"
  "python3-pytest:/usr/lib/python3/dist-packages/pytest/__init__.py"
  # the end-to-end tests in two Wine prefixes at once: they mostly wait for Wine
  "python3-pytest-xdist:/usr/lib/python3/dist-packages/xdist/__init__.py"
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

apt_updated=
apt_install() {  # apt_install <package...>: Debian's package lists fetched once per run, then the packages
  echo "== installing $*"
  if [ -z "$apt_updated" ]; then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    apt_updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

ensure_packages() {
  local missing=() entry
  for entry in "${VORNEL_PACKAGES[@]}"; do
    [ -e "${entry#*:}" ] || missing+=("${entry%%:*}")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt_install "${missing[@]}" || return 1
  fi
  ensure_fuzzer_runtime
}

# The fuzzers link clang's libFuzzer runtime, which Debian packages for each clang version
# (libclang-rt-<major>-dev), in the resource directory of that clang. Both follow the clang
# that is installed (clang, above, comes first), so no version is written down here.
clang_major() {  # the major version of the installed clang, or else of the one Debian's clang package brings
  local major
  major=$(clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' | head -n 1)
  [ -n "$major" ] || major=$(apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
  echo "$major"
}
fuzzer_runtime() {  # the path of the installed clang's libFuzzer runtime, when it is there
  local dir file
  dir=$(clang -print-resource-dir 2>/dev/null) || return 1
  for file in "$dir/lib/linux/libclang_rt.fuzzer-$(uname -m).a" "$dir"/lib/"$(uname -m)"-*linux*/libclang_rt.fuzzer.a; do
    [ -e "$file" ] && { echo "$file"; return 0; }
  done
  return 1
}
ensure_fuzzer_runtime() {
  fuzzer_runtime >/dev/null && return 0
  local major
  major=$(clang_major)
  [ -n "$major" ] || { echo "no clang, and Debian's clang package names no version"; return 1; }
  apt_install "libclang-rt-$major-dev" || return 1
  fuzzer_runtime >/dev/null || { echo "libclang-rt-$major-dev installed no libFuzzer runtime for clang $major"; return 1; }
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
