# Cross build for 32-bit ARM (hard float) on a Debian amd64 machine, with the
# test programs run under user-mode QEMU.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Needs, on Debian 12:
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install crossbuild-essential-armhf qtbase5-dev:armhf libpcap-dev:armhf qemu-user
# The target libraries (libc6:armhf, libqt5*:armhf, ...) live in the multiarch
# directory /usr/lib/arm-linux-gnueabihf, so no separate sysroot is used: the
# Debian cross compiler searches the multiarch paths itself. moc and rcc come
# from the build machine (qtbase5-dev-tools): the armhf Qt5CoreConfigExtras
# already points Qt5::moc at /usr/lib/qt5/bin/moc, which is an amd64 binary.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(_veskor_armhf_packages "crossbuild-essential-armhf qtbase5-dev:armhf libpcap-dev:armhf qemu-user")
set(_veskor_armhf_hint
  "Install the armhf cross tools on Debian 12 with:\n"
  "  dpkg --add-architecture armhf && apt-get update\n"
  "  apt-get install -y --no-install-recommends ${_veskor_armhf_packages}")

find_program(VESKOR_ARMHF_CC arm-linux-gnueabihf-gcc)
find_program(VESKOR_ARMHF_CXX arm-linux-gnueabihf-g++)
find_program(VESKOR_QEMU_ARM qemu-arm)
set(_veskor_armhf_missing "")
if(NOT VESKOR_ARMHF_CC OR NOT VESKOR_ARMHF_CXX)
  list(APPEND _veskor_armhf_missing "cross compiler arm-linux-gnueabihf-gcc/g++ (crossbuild-essential-armhf)")
endif()
if(NOT VESKOR_QEMU_ARM)
  list(APPEND _veskor_armhf_missing "emulator qemu-arm (qemu-user)")
endif()
if(NOT EXISTS /usr/lib/arm-linux-gnueabihf/cmake/Qt5/Qt5Config.cmake)
  list(APPEND _veskor_armhf_missing "Qt5 for armhf in /usr/lib/arm-linux-gnueabihf/cmake/Qt5 (qtbase5-dev:armhf)")
endif()
if(NOT EXISTS /lib/ld-linux-armhf.so.3)
  list(APPEND _veskor_armhf_missing "armhf dynamic loader /lib/ld-linux-armhf.so.3 (libc6:armhf)")
endif()
if(_veskor_armhf_missing)
  string(REPLACE ";" ", " _veskor_armhf_missing "${_veskor_armhf_missing}")
  message(FATAL_ERROR "armhf cross build: missing ${_veskor_armhf_missing}.\n"
                      ${_veskor_armhf_hint})
endif()

set(CMAKE_C_COMPILER ${VESKOR_ARMHF_CC})
set(CMAKE_CXX_COMPILER ${VESKOR_ARMHF_CXX})
# GCC notes on every 64-bit/double aggregate passed by value that its ARM
# calling convention changed in GCC 7.1; everything here is built with GCC 12.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Target libraries and CMake packages are looked up in the armhf multiarch
# directories (<prefix>/lib/arm-linux-gnueabihf, also for <prefix>/lib/<arch>/cmake)
# of the build machine itself; programs (moc, rcc, tshark, ...) are the build
# machine's own. No CMAKE_FIND_ROOT_PATH: re-rooting would hide /usr.
set(Qt5_DIR /usr/lib/arm-linux-gnueabihf/cmake/Qt5 CACHE PATH "Qt5 for armhf")

# Runs target programs (add_test(NAME .. COMMAND <target>), try_run) under
# QEMU. The binaries ask for /lib/ld-linux-armhf.so.3 and find their libraries
# through the multiarch paths of the build machine, where libc6:armhf and the
# Qt armhf packages put them, so QEMU needs no -L prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${VESKOR_QEMU_ARM})

# moc and rcc must run on the build machine. Debian's armhf Qt config points
# them at /usr/lib/qt5/bin (qtbase5-dev-tools, amd64); should a Qt config name
# a target binary instead, swap in the build machine's tool once the project's
# top directory has been read (imported targets exist only after find_package).
function(_veskor_armhf_host_qt_tools)
  foreach(_tool moc rcc)
    if(TARGET Qt5::${_tool})
      get_target_property(_loc Qt5::${_tool} IMPORTED_LOCATION)
      execute_process(COMMAND "${_loc}" -v RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
      if(NOT _rc STREQUAL "0")
        if(NOT EXISTS /usr/lib/qt5/bin/${_tool})
          message(FATAL_ERROR "Qt5::${_tool} (${_loc}) does not run on this machine and "
                              "/usr/lib/qt5/bin/${_tool} is missing: install qtbase5-dev-tools")
        endif()
        message(STATUS "armhf: ${_loc} does not run here, using /usr/lib/qt5/bin/${_tool}")
        set_target_properties(Qt5::${_tool} PROPERTIES IMPORTED_LOCATION /usr/lib/qt5/bin/${_tool})
      endif()
    endif()
  endforeach()
endfunction()
if(NOT CMAKE_PROJECT_NAME STREQUAL "CMAKE_TRY_COMPILE")
  cmake_language(DEFER CALL _veskor_armhf_host_qt_tools)
endif()
