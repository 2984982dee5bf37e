# Debian packages, one per install component (see Install.cmake):
#   liblibveskor1      the plug-in (runtime)
#   liblibveskor-dev   headers, .so link and CMake package (dev)
#   veskor-tools       veskor, veskor-sim, the Wireshark dissector (tools)
# Build them with `cpack --config <build>/CPackConfig.cmake` or
# `cmake --build <build> --target package`. Included after Install.cmake.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libveskor)
set(CPACK_PACKAGE_VENDOR "The LibVESKOR developers")
set(CPACK_PACKAGE_CONTACT "The LibVESKOR developers <libveskor@lists.example.org>")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET veskor OR TARGET veskor-sim)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The binaries go stripped; their debug symbols go to <package>-dbgsym
# (.ddeb, installable with dpkg -i). The build keeps debug information
# (RelWithDebInfo by default) for this.
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/deb/fix-dbgsym.cmake")

# Architecture of the binaries, not of the machine packing them.
include(${CMAKE_CURRENT_LIST_DIR}/VeskorDebArch.cmake)
veskor_deb_arch(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)

# Library dependencies (libqt5core5a, libqt5network5, libc6, ...) are read off
# the binaries by dpkg-shlibdeps, for armhf binaries from the armhf packages'
# shlibs/symbols files. Without dpkg-dev they are written out instead.
find_program(VESKOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VESKOR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The tools may link the plug-in itself: let dpkg-shlibdeps find it in the
  # build tree (its dependency comes from the explicit line below).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
  set(_veskor_qt_depends "")
else()
  set(_veskor_qt_depends "libqt5core5a (>= 5.15)" "libqt5network5 (>= 5.15)")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblibveskor1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig runs through dpkg's trigger once per transaction.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/deb/triggers")
list(JOIN _veskor_qt_depends ", " CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "UDP/IPv4 controller driver plug-in
The shared library an operator-panel host loads with dlopen to read and
write typed tag values in a machine controller's memory.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liblibveskor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liblibveskor1 (= ${PROJECT_VERSION}), qtbase5-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "UDP/IPv4 controller driver plug-in - development files
Host interface headers, the link-time library and a CMake package
(find_package(LibVESKOR)) for host programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME veskor-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(_veskor_tools_depends "liblibveskor1 (= ${PROJECT_VERSION})" ${_veskor_qt_depends})
list(JOIN _veskor_tools_depends ", " CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS)
# The dissector is only read by Wireshark.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "UDP/IPv4 controller driver plug-in - command-line tools
veskor, a host-side command-line client, veskor-sim, a controller
simulator listening on UDP, and a Wireshark dissector for the
controller protocol.")

# The sonames' ldconfig trigger and shlibs file come with GENERATE_SHLIBS.
include(CPack)
