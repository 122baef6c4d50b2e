# The 32-bit x86 build on an x86-64 Debian machine: the system compilers with -m32
# (gcc-multilib, g++-multilib, which also bring the 32-bit C library) and the i386
# builds of the media libraries.
#
#   cmake/fetch-i386-root.sh build/i386-root
#   cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
#         -DTESSIVAR_I386_ROOT=$PWD/build/i386-root/sysroot
#
# TESSIVAR_I386_ROOT is a folder into which the i386 packages were unpacked (what
# fetch-i386-root.sh makes): headers, pkg-config files and libraries are taken from
# there, and the programs find its libraries through their run path. Without it, the
# machine's own multiarch i386 packages (libavcodec-dev:i386 ...) are used.
#
# GoogleTest is built from the sources in /usr/src/googletest (package googletest).
#
# On a machine whose kernel cannot execute 32-bit programs, add
#   -DCMAKE_CROSSCOMPILING_EMULATOR="/usr/bin/qemu-i386;-L;/"
# (package qemu-user): test discovery and every test then run through the emulator.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(TESSIVAR_GTEST_FROM_SOURCE /usr/src/googletest)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSIVAR_I386_ROOT)

if(TESSIVAR_I386_ROOT)
  if(NOT EXISTS "${TESSIVAR_I386_ROOT}/usr/lib/i386-linux-gnu/pkgconfig/libavcodec.pc")
    message(FATAL_ERROR "TESSIVAR_I386_ROOT=${TESSIVAR_I386_ROOT} holds no i386 libavcodec: "
                        "make it with cmake/fetch-i386-root.sh")
  endif()
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TESSIVAR_I386_ROOT}")
  set(ENV{PKG_CONFIG_LIBDIR}
      "${TESSIVAR_I386_ROOT}/usr/lib/i386-linux-gnu/pkgconfig:${TESSIVAR_I386_ROOT}/usr/share/pkgconfig")
  set(i386_lib_dirs "${TESSIVAR_I386_ROOT}/usr/lib/i386-linux-gnu" "${TESSIVAR_I386_ROOT}/lib/i386-linux-gnu")
  # The libraries' own dependencies lie in the same folders: the linker looks there
  # (rpath-link), and so does the loader at run time, for every library a program or
  # the plug-in loads (an old-style run path, which also covers indirect dependencies).
  set(i386_link_flags "-Wl,--disable-new-dtags")
  foreach(dir ${i386_lib_dirs})
    string(APPEND i386_link_flags " -Wl,-rpath-link,${dir}")
  endforeach()
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${i386_link_flags}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " ${i386_link_flags}")
  string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " ${i386_link_flags}")
  set(CMAKE_BUILD_RPATH ${i386_lib_dirs})
  # An installed plug-in and engine keep looking there: a machine without i386 media
  # libraries of its own can still load them.
  set(CMAKE_INSTALL_RPATH ${i386_lib_dirs})
else()
  # pkg-config answers from the machine's i386 package files only.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()
