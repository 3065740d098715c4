# Cross build for ARM64 Windows with LLVM: clang in its MinGW mode on
# mingw-w64's headers (the sysroot), linked by lld (its COFF linker through
# the GNU-style front end, so the link options are those of the mingw-w64
# builds), resources by llvm-windres, import libraries by llvm-dlltool.
# Debian has no mingw-w64 C run-time or import libraries for ARM64: the
# system DLLs' import libraries are made from the lists in
# crt-arm64/imports (Windows.cmake), and nothing links a C run-time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(TOLVAR_LLVM_TRIPLE aarch64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOLVAR_LLVM_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TOLVAR_LLVM_TRIPLE})
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_ASM_COMPILER_TARGET ${TOLVAR_LLVM_TRIPLE})
# The sysroot gives mingw-w64's headers (its include/) and a library folder
# with nothing in it, so that no host library is ever found.
set(CMAKE_SYSROOT /usr/share/mingw-w64)
find_program(TOLVAR_LLVM_WINDRES NAMES llvm-windres llvm-windres-14
  PATHS /usr/lib/llvm-14/bin REQUIRED)
set(CMAKE_RC_COMPILER ${TOLVAR_LLVM_WINDRES})
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 -I${CMAKE_SYSROOT}/include")
set(CMAKE_DLLTOOL llvm-dlltool)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# With no C run-time to link a test program against, CMake's compiler
# checks build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
