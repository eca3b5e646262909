# Toolchain of the msvc-syntax check (scripts/msvc-syntax): clang-cl in MSVC mode, on Debian,
# against libc++'s headers and Wine's Windows and C runtime headers, with the small headers
# in include/ filling the gaps of that set. Configuring with it takes the project's MSVC
# branches (if(MSVC), the static runtime, /W4 /WX /permissive-); the check then runs every
# compile command with /Zs. Nothing is linked: libc++'s compiled part and MSVC's runtime
# are not in Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# clang-cl: on PATH, else the newest of LLVM's own bin folders, where Debian keeps it.
if(NOT VORNEL_CLANG_CL)
  find_program(VORNEL_CLANG_CL NAMES clang-cl)
endif()
if(NOT VORNEL_CLANG_CL)
  file(GLOB candidates /usr/lib/llvm-*/bin/clang-cl)
  list(SORT candidates COMPARE NATURAL ORDER DESCENDING)
  if(candidates)
    list(GET candidates 0 newest)
    set(VORNEL_CLANG_CL ${newest} CACHE FILEPATH "clang-cl of the msvc-syntax check" FORCE)
  endif()
endif()
if(NOT VORNEL_CLANG_CL)
  message(FATAL_ERROR "clang-cl not found (Debian: clang-tools)")
endif()

# The other LLVM tools and libc++'s headers of that same LLVM.
get_filename_component(llvm_bin ${VORNEL_CLANG_CL} REALPATH)
get_filename_component(llvm_bin ${llvm_bin} DIRECTORY)
get_filename_component(llvm_root ${llvm_bin} DIRECTORY)
find_path(VORNEL_LIBCXX_INCLUDE NAMES __config PATHS ${llvm_root}/include/c++/v1 /usr/include/c++/v1
          NO_DEFAULT_PATH REQUIRED)
find_path(VORNEL_WINE_INCLUDE NAMES windows/windows.h msvcrt/stdio.h
          PATHS /usr/include/wine/wine /usr/local/include/wine/wine NO_DEFAULT_PATH REQUIRED)

set(CMAKE_C_COMPILER ${VORNEL_CLANG_CL})
set(CMAKE_CXX_COMPILER ${VORNEL_CLANG_CL})
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
find_program(CMAKE_AR NAMES llvm-lib HINTS ${llvm_bin} REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link HINTS ${llvm_bin})
find_program(CMAKE_RC_COMPILER NAMES llvm-rc HINTS ${llvm_bin})
find_program(CMAKE_MT NAMES llvm-mt HINTS ${llvm_bin})
# The message file's compiler is never run here; the mingw one stands in for mc.exe.
find_program(CMAKE_MC_COMPILER NAMES x86_64-w64-mingw32-windmc windmc)

# Visual Studio 2022's _MSC_VER; our headers first, then Wine's C runtime and Windows headers
# (as system headers: their own warnings are not ours). libc++ replaces MSVC's library.
set(gaps ${CMAKE_CURRENT_LIST_DIR}/include)
set(msvc_mode "-fms-compatibility-version=19.30 /D_UCRT -imsvc ${gaps} /FI${gaps}/before_windows.h -imsvc ${VORNEL_WINE_INCLUDE}/msvcrt -imsvc ${VORNEL_WINE_INCLUDE}/windows")
set(CMAKE_C_FLAGS_INIT "${msvc_mode}")
set(CMAKE_CXX_FLAGS_INIT "/clang:-nostdinc++ /clang:-isystem${VORNEL_LIBCXX_INCLUDE} /D_LIBCPP_NO_VCRUNTIME ${msvc_mode}")
