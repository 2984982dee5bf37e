# Debian packages, one per install component (see Install.cmake):
#   liblibveskor1      the plug-in (runtime)
#   liblibveskor-dev   headers, .so link and CMake package (dev)
#   veskor-tools       veskor, veskor-sim, the Wireshark dissector (tools)
#   veskor-gateway     veskor-gateway, its unit, /etc/veskor/gateway.json
#                      and the Grafana dashboard (gateway)
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
if(TARGET veskor-gateway)
  list(APPEND CPACK_COMPONENTS_ALL gateway)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The binaries go stripped; their debug symbols go to <package>-dbgsym
# (.ddeb, installable with dpkg -i). The build keeps debug information
# (RelWithDebInfo by default) for this.
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_GATEWAY_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/deb/fix-dbgsym.cmake"
                             "${CMAKE_CURRENT_LIST_DIR}/deb/fix-ldconfig.cmake")

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
  set(_veskor_gateway_lib_depends "")
else()
  set(_veskor_qt_depends "libqt5core5a (>= 5.15)" "libqt5network5 (>= 5.15)")
  # Debian 12's names of the MQTT and HTTP libraries the gateway links.
  set(_veskor_gateway_lib_depends "libmosquitto1" "libcpp-httplib0.11")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblibveskor1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig runs through dpkg's trigger once per transaction; the postinst
# and postrm that CPack writes to call it as well are dropped after packing
# (deb/fix-ldconfig.cmake).
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
controller protocol. The MQTT and Prometheus gateway is in the
package veskor-gateway.")

# The gateway alone needs the MQTT and HTTP libraries (dpkg-shlibdeps reads
# them off the binary); it carries the driver's core itself. Its
# configuration /etc/veskor/gateway.json is a conffile: dpkg keeps a changed
# one through upgrades and removal (deb/veskor-gateway/conffiles).
set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME veskor-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
set(_veskor_gateway_depends ${_veskor_qt_depends} ${_veskor_gateway_lib_depends})
list(JOIN _veskor_gateway_depends ", " CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SUGGESTS "mosquitto, prometheus")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/deb/veskor-gateway/conffiles")
set(CPACK_COMPONENT_GATEWAY_DESCRIPTION "UDP/IPv4 controller driver plug-in - MQTT and Prometheus gateway
veskor-gateway polls the tags of many controllers and publishes them to
an MQTT broker and on a Prometheus endpoint, and writes allowed tags
from MQTT. With a systemd unit, the configuration
/etc/veskor/gateway.json and a Grafana dashboard.")

# The sonames' ldconfig trigger and shlibs file come with GENERATE_SHLIBS.
include(CPack)
