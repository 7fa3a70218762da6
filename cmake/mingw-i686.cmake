# Cross toolchain for 32-bit Windows: mingw-w64 i686 with the win32 thread model, C and
# C++ runtimes linked statically so that every .exe runs on a bare Windows without extra
# DLLs. The win32 thread model brings no POSIX-threads runtime (winpthreads), whose imports
# (GetTickCount64, TryEnterCriticalSection, vectored exception handlers, ...) would keep the
# updater from loading on Windows 98/ME/2000/XP; it has no std::thread, std::mutex,
# std::condition_variable or std::call_once either: the code uses codec/threads.h, and
# GoogleTest gets its one missing piece from tests/gtest_notification.h.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Code for any 32-bit x86 processor (the compiler's default, without MMX or SSE): the
# updater must run on processors without SSE2. The only code that needs SSE2 is chosen
# at run time by CPUID and named for its instruction set: the SHA-512 vector paths and
# the block codec's statistics and method choice, whose SSE2 doubles give the frames
# that the 64-bit host writes (x87 extended precision could round differently).
# Scheduling is tuned for current processors; the instruction set stays the default one.
set(CMAKE_C_FLAGS_INIT "-mtune=generic")
set(CMAKE_CXX_FLAGS_INIT "-mtune=generic")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
