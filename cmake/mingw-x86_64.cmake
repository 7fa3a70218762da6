# Cross toolchain for 64-bit Windows, used to run the Windows tests under 64-bit Wine on
# machines whose kernel cannot execute 32-bit x86 code (where 32-bit Wine cannot start).
# The shipped programs are the 32-bit ones (mingw-i686.cmake); this build compiles the
# same sources for x86-64 only so that their Windows behaviour can be tested, with the
# same win32 thread model as the 32-bit build (see mingw-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
