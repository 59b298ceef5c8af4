# Cross build for 64-bit Windows with Debian's mingw-w64. The shipped
# deliverables are the 32-bit ones (cmake/mingw-i686.cmake); this build runs
# the same Windows code under 64-bit Wine on machines where 32-bit programs
# cannot run natively.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# The 64-bit loader itself: the wine wrapper picks the 32-bit one whenever
# it is installed, even where it cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
