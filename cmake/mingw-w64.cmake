# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers (g++-mingw-w64-x86-64-posix).
# The posix flavour is the one whose libstdc++ has std::thread and whose libgomp runs OpenMP.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PAIRMEND_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PAIRMEND_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PAIRMEND_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PAIRMEND_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW-w64 tree only, never from the host's /usr/include or
# /usr/lib; the host's programs (cmake, the compilers) are still found on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PAIRMEND_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained pairmend.exe: the C++ runtime, libgcc, winpthreads and the OpenMP runtime
# are linked in, so the program needs no MinGW DLLs beside it.
# FindOpenMP names the runtime's import library (libgomp.dll.a) itself, so it is pointed at the
# static archive here.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgomp.a
                OUTPUT_VARIABLE pairmend_static_gomp OUTPUT_STRIP_TRAILING_WHITESPACE)
if(IS_ABSOLUTE "${pairmend_static_gomp}" AND EXISTS "${pairmend_static_gomp}")
  set(OpenMP_gomp_LIBRARY "${pairmend_static_gomp}" CACHE FILEPATH "The OpenMP runtime, linked statically")
endif()
