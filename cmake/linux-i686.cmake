# Native 32-bit x86 Linux build on an x86-64 Debian machine (g++-multilib).
# The top-level CMakeLists adds -msse2 -mfpmath=sse for 32-bit x86, so float
# math runs in SSE2 registers as on x86-64.
# -m32 comes in through the *_FLAGS_INIT values below: a CMAKE_C_FLAGS or
# CMAKE_CXX_FLAGS given on the command line replaces them and must then
# contain -m32 itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Look for 32-bit libraries first; the 64-bit ones in the multiarch
# directory must never be picked up.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB32_PATHS ON)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
