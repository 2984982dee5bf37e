# Install rules, included at the end of the top-level CMakeLists.txt.
#
# Components (one Debian package each, see Packaging.cmake):
#   runtime  libLibVESKOR.so.1 and .so.1.0.1             -> liblibveskor1
#   dev      host/*.h, the .so link, the CMake package,
#            libveskor.pc for pkg-config                 -> liblibveskor-dev
#   tools    veskor, veskor-sim, their man pages and
#            bash completions (tools/CMakeLists.txt),
#            the Wireshark dissector and the simulator's
#            example bench                               -> veskor-tools
#   gateway  veskor-gateway, its man page and bash
#            completion, the systemd unit, the example
#            configuration (also as /etc/veskor/
#            gateway.json) and the Grafana dashboard     -> veskor-gateway
# The gateway is a package of its own: it alone needs the MQTT and HTTP
# libraries.
# Each component also installs the licence as its package's copyright file
# and the package changelog.
#
# A host project then uses the plug-in's exported value-record members with
#   find_package(LibVESKOR 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE LibVESKOR::LibVESKOR)
# and still loads the driver itself with dlopen("libLibVESKOR.so.1").
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VESKOR_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/LibVESKOR")
set(VESKOR_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/LibVESKOR")

# What a consumer of LibVESKOR::LibVESKOR needs: the host headers, and QtCore
# because CLabelVariable holds QVariant, QString and QDateTime by value.
target_include_directories(LibVESKOR INTERFACE
  "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/host>"
  "$<INSTALL_INTERFACE:${VESKOR_INSTALL_INCLUDEDIR}>")
target_link_libraries(LibVESKOR INTERFACE Qt5::Core)

install(TARGETS LibVESKOR EXPORT LibVESKORTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT runtime
    NAMELINK_COMPONENT dev)

file(GLOB _veskor_host_headers CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/host/*.h")
install(FILES ${_veskor_host_headers}
  DESTINATION "${VESKOR_INSTALL_INCLUDEDIR}"
  COMPONENT dev)

foreach(_tool veskor veskor-sim)
  if(TARGET ${_tool})
    install(TARGETS ${_tool} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
  endif()
endforeach()

# The Wireshark dissector goes where Wireshark looks for Lua plug-ins of every
# user ("Global Lua Plugins" in `tshark -G folders`): on Debian
# /usr/lib/<multiarch>/wireshark/plugins, the same for every Wireshark version
# (its binary plug-ins sit in a versioned folder below it). Wireshark reads no
# folder outside the architecture's lib folder for them.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_veskor_lua_dir "lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins")
else()
  set(_veskor_lua_dir "lib/wireshark/plugins")
endif()
set(VESKOR_INSTALL_WIRESHARK_LUADIR "${_veskor_lua_dir}" CACHE STRING
  "Wireshark's global Lua plug-in folder, relative to the install prefix")
if(TARGET veskor OR TARGET veskor-sim)
  install(FILES "${PROJECT_SOURCE_DIR}/tools/wireshark/veskor.lua"
    DESTINATION "${VESKOR_INSTALL_WIRESHARK_LUADIR}"
    COMPONENT tools)
endif()
# The simulator's example bench (veskor-sim --config), with the tools
# package's documentation.
if(TARGET veskor-sim)
  install(FILES "${PROJECT_SOURCE_DIR}/tools/sim/examples/bench.json"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/veskor-tools/examples"
    COMPONENT tools)
endif()

# The gateway: the program, the systemd unit (written at install time with
# that install's folders, cmake/GatewayInstall.cmake), the example
# configuration with the documentation and as the configuration the unit
# reads (<sysconfdir>/veskor/gateway.json: /etc/veskor/gateway.json for the
# /usr prefix, a conffile of the package), and the Grafana dashboard.
if(TARGET veskor-gateway)
  install(TARGETS veskor-gateway RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT gateway)
  set(VESKOR_INSTALL_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "systemd's system unit folder, relative to the install prefix")
  install(CODE "
    set(VESKOR_UNIT_TEMPLATE \"${PROJECT_SOURCE_DIR}/tools/systemd/veskor-gateway.service.in\")
    set(VESKOR_UNIT_OUT \"${PROJECT_BINARY_DIR}/systemd/veskor-gateway.service\")
    set(VESKOR_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(VESKOR_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    set(VESKOR_UNITDIR \"${VESKOR_INSTALL_SYSTEMD_UNITDIR}\")
    set(VESKOR_EXAMPLE_CONFIG \"${PROJECT_SOURCE_DIR}/tools/gateway/examples/gateway.json\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/GatewayInstall.cmake\")"
    COMPONENT gateway)
  install(FILES "${PROJECT_SOURCE_DIR}/tools/gateway/examples/gateway.json"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/veskor-gateway/examples"
    COMPONENT gateway)
  # Named as what it is: a dashboard to import into Grafana.
  install(FILES "${PROJECT_SOURCE_DIR}/tools/gateway/grafana/veskor-gateway.json"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/veskor-gateway/grafana"
    RENAME veskor-gateway-dashboard.json
    COMPONENT gateway)
endif()

install(EXPORT LibVESKORTargets
  NAMESPACE LibVESKOR::
  FILE LibVESKORTargets.cmake
  DESTINATION "${VESKOR_INSTALL_CMAKEDIR}"
  COMPONENT dev)

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/LibVESKORConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/cmake/LibVESKORConfig.cmake"
  INSTALL_DESTINATION "${VESKOR_INSTALL_CMAKEDIR}"
  PATH_VARS VESKOR_INSTALL_INCLUDEDIR)
# Same major version: the value record's layout and the exported members are
# fixed within one soname.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/cmake/LibVESKORConfigVersion.cmake"
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/cmake/LibVESKORConfig.cmake"
  "${PROJECT_BINARY_DIR}/cmake/LibVESKORConfigVersion.cmake"
  DESTINATION "${VESKOR_INSTALL_CMAKEDIR}"
  COMPONENT dev)

# pkg-config: `pkg-config --cflags --libs libveskor`. The prefix is written
# when the file is installed, as the install runs with it (cpack: /usr,
# cmake --install --prefix DIR: DIR), so every path in it is plain:
# -I/usr/include/LibVESKOR. Everything else is filled in here.
set(VESKOR_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file("${CMAKE_CURRENT_LIST_DIR}/libveskor.pc.in" "${PROJECT_BINARY_DIR}/libveskor.pc.in" @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/libveskor.pc.in\"
                             \"${PROJECT_BINARY_DIR}/pkgconfig/libveskor.pc\" @ONLY)"
  COMPONENT dev)
install(FILES "${PROJECT_BINARY_DIR}/pkgconfig/libveskor.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT dev)

# Licence and changelog, in each package's documentation folder.
set(_veskor_changelog "${CMAKE_CURRENT_LIST_DIR}/deb/changelog")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_veskor_changelog}")
execute_process(COMMAND gzip -9n -c "${_veskor_changelog}"
  OUTPUT_FILE "${PROJECT_BINARY_DIR}/changelog.gz"
  RESULT_VARIABLE _veskor_gzip_rc)
if(NOT _veskor_gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${_veskor_changelog}")
endif()
foreach(_pair "runtime:liblibveskor1" "dev:liblibveskor-dev" "tools:veskor-tools" "gateway:veskor-gateway")
  string(REPLACE ":" ";" _pair "${_pair}")
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  if(_component STREQUAL "tools" AND NOT (TARGET veskor OR TARGET veskor-sim))
    continue()
  endif()
  if(_component STREQUAL "gateway" AND NOT TARGET veskor-gateway)
    continue()
  endif()
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${_package}"
    RENAME copyright
    COMPONENT ${_component})
  install(FILES "${PROJECT_BINARY_DIR}/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${_package}"
    COMPONENT ${_component})
endforeach()
