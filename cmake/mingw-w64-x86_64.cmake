# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread
# model, which std::thread needs). Dependencies come from the sysroot that
# scripts/setup-windows builds.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT QAI_WINDOWS_SYSROOT)
  if(DEFINED ENV{QAI_WINDOWS_SYSROOT})
    set(QAI_WINDOWS_SYSROOT $ENV{QAI_WINDOWS_SYSROOT})
  else()
    set(QAI_WINDOWS_SYSROOT /opt/qai-mingw64)
  endif()
endif()
set(QAI_WINDOWS_SYSROOT ${QAI_WINDOWS_SYSROOT} CACHE PATH "Sysroot of the cross-built dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QAI_WINDOWS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QAI_WINDOWS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime goes into every DLL and program: nothing beyond Windows' own
# DLLs and libcf needs to ship beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The sysroot's OpenSSL is static: its Winsock and crypto dependencies go
# with it into every link.
set(OPENSSL_USE_STATIC_LIBS ON)
