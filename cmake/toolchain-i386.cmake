# The 32-bit x86 build on an x86-64 Debian machine: the system compilers with -m32
# (gcc-multilib, g++-multilib) and the :i386 variants of the libraries.
#   cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake
# The host stays the processor the programs run on, so the 32-bit tests and the
# discovery of their cases run directly, with no emulator.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# pkg-config answers from the i386 package files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
