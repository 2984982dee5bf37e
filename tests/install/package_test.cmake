# Builds the Debian packages with CPack, checks their names, dependencies and
# contents, unpacks them into a scratch root and loads the plug-in from there;
# checks the pkg-config file's paths and the packaged Wireshark dissector.
# With GATEWAY on, the gateway's package of its own: its files, its conffile,
# and none of it (nor its MQTT and HTTP libraries) in veskor-tools.
# Run by CTest: cmake -DBUILD_DIR=.. -DWORK_DIR=.. -DPROBE=.. [...] -P package_test.cmake
cmake_minimum_required(VERSION 3.16)

foreach(_var BUILD_DIR WORK_DIR PROBE VERSION ARCH)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "package_test.cmake: ${_var} not given")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

function(expect_match text regex what)
  if(NOT "${text}" MATCHES "${regex}")
    message(FATAL_ERROR "${what}: '${regex}' not found in:\n${text}")
  endif()
endfunction()

function(expect_no_match text regex what)
  if("${text}" MATCHES "${regex}")
    message(FATAL_ERROR "${what}: '${regex}' should not be in:\n${text}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run(cpack --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/out")

set(rt_deb "${WORK_DIR}/out/liblibveskor1_${VERSION}_${ARCH}.deb")
set(dev_deb "${WORK_DIR}/out/liblibveskor-dev_${VERSION}_${ARCH}.deb")
set(tools_deb "${WORK_DIR}/out/veskor-tools_${VERSION}_${ARCH}.deb")
set(gateway_deb "${WORK_DIR}/out/veskor-gateway_${VERSION}_${ARCH}.deb")
set(debs "${rt_deb}" "${dev_deb}")
if(TOOLS)
  list(APPEND debs "${tools_deb}")
endif()
if(GATEWAY)
  list(APPEND debs "${gateway_deb}")
endif()
foreach(_deb ${debs})
  if(NOT EXISTS "${_deb}")
    file(GLOB _made "${WORK_DIR}/out/*.deb")
    message(FATAL_ERROR "cpack did not make ${_deb}; it made: ${_made}")
  endif()
endforeach()

# Debian's package checker finds no error and no warning in any package, the
# debug-symbol packages included.
file(GLOB _ddebs "${WORK_DIR}/out/*-dbgsym_${VERSION}_${ARCH}.ddeb")
list(LENGTH _ddebs _ddeb_count)
set(_want_ddebs 1)
if(TOOLS)
  math(EXPR _want_ddebs "${_want_ddebs} + 1")
endif()
if(GATEWAY)
  math(EXPR _want_ddebs "${_want_ddebs} + 1")
endif()
if(NOT _ddeb_count EQUAL _want_ddebs)
  message(FATAL_ERROR "expected ${_want_ddebs} debug-symbol packages, found: ${_ddebs}")
endif()
find_program(LINTIAN lintian)
if(NOT LINTIAN)
  message(FATAL_ERROR "lintian is not installed (Debian package lintian; scripts/deps.sh installs it)")
endif()
execute_process(COMMAND "${LINTIAN}" --no-tag-display-limit ${debs} ${_ddebs}
  RESULT_VARIABLE _lintian_rc OUTPUT_VARIABLE _lintian ERROR_VARIABLE _lintian_err)
message("lintian:\n${_lintian}")
expect_no_match("${_lintian}" "(^|\n)E: " "lintian")
expect_no_match("${_lintian}" "(^|\n)W: " "lintian")

# ldconfig runs by the trigger alone: no maintainer script calls it.
run(dpkg-deb -I "${rt_deb}")
expect_match("${RUN_OUTPUT}" " triggers" "runtime control files")
expect_no_match("${RUN_OUTPUT}" " post(inst|rm)" "runtime control files")

# Runtime package: the plug-in under its soname, stripped, depending on the
# Qt libraries it links; no development files.
run(dpkg-deb -f "${rt_deb}" Installed-Size)
string(STRIP "${RUN_OUTPUT}" _size)
message("liblibveskor1 installed size: ${_size} KiB")
run(dpkg-deb -f "${rt_deb}" Package Architecture Depends)
message("liblibveskor1:\n${RUN_OUTPUT}")
expect_match("${RUN_OUTPUT}" "Architecture: ${ARCH}\n" "runtime architecture")
expect_match("${RUN_OUTPUT}" "libqt5core5a" "runtime Depends")
expect_match("${RUN_OUTPUT}" "libqt5network5" "runtime Depends")
run(dpkg-deb -c "${rt_deb}")
expect_match("${RUN_OUTPUT}" "/libLibVESKOR\\.so\\.1\\.0\\.1\n" "runtime contents")
expect_match("${RUN_OUTPUT}" "/libLibVESKOR\\.so\\.1 -> libLibVESKOR\\.so\\.1\\.0\\.1" "runtime contents")
expect_no_match("${RUN_OUTPUT}" "/libLibVESKOR\\.so -> |\\.h\n|\\.cmake\n" "runtime contents")

# Development package: headers, link-time .so and the CMake package, tied to
# exactly this runtime version.
run(dpkg-deb -f "${dev_deb}" Depends)
message("liblibveskor-dev:\n${RUN_OUTPUT}")
expect_match("${RUN_OUTPUT}" "liblibveskor1 \\(= ${VERSION}\\)" "dev Depends")
expect_match("${RUN_OUTPUT}" "qtbase5-dev" "dev Depends")
run(dpkg-deb -c "${dev_deb}")
foreach(_f "include/LibVESKOR/CDriveBaseClass\\.h" "include/LibVESKOR/CLabelVariable\\.h"
           "include/LibVESKOR/DataType\\.h" "/libLibVESKOR\\.so -> libLibVESKOR\\.so\\.1"
           "cmake/LibVESKOR/LibVESKORConfig\\.cmake" "cmake/LibVESKOR/LibVESKORTargets\\.cmake"
           "pkgconfig/libveskor\\.pc")
  expect_match("${RUN_OUTPUT}" "${_f}" "dev contents")
endforeach()
expect_no_match("${RUN_OUTPUT}" "\\.so\\.1\\.0\\.1\n" "dev contents")

if(TOOLS)
  run(dpkg-deb -f "${tools_deb}" Depends)
  message("veskor-tools:\n${RUN_OUTPUT}")
  expect_match("${RUN_OUTPUT}" "liblibveskor1 \\(= ${VERSION}\\)" "tools Depends")
  run(dpkg-deb -c "${tools_deb}")
  foreach(_tool ${TOOLS})
    expect_match("${RUN_OUTPUT}" "usr/bin/${_tool}\n" "tools contents")
  endforeach()
  # The dissector in Wireshark's global Lua plug-in folder (checked against
  # tshark below), the simulator's example bench with the documentation.
  if(NOT RUN_OUTPUT MATCHES "\\./(usr/lib/[^/\n]+/wireshark/plugins)/veskor\\.lua\n")
    message(FATAL_ERROR "tools contents: no usr/lib/<multiarch>/wireshark/plugins/veskor.lua in:\n${RUN_OUTPUT}")
  endif()
  set(lua_dir "/${CMAKE_MATCH_1}")
  if("veskor-sim" IN_LIST TOOLS)
    expect_match("${RUN_OUTPUT}" "usr/share/doc/veskor-tools/examples/bench\\.json\n" "tools contents")
  endif()
  # The gateway is a package of its own: no file of it here, and the
  # command-line tools pull in no MQTT or HTTP library.
  expect_no_match("${RUN_OUTPUT}" "gateway|grafana|systemd" "tools contents")
  run(dpkg-deb -f "${tools_deb}" Depends)
  expect_no_match("${RUN_OUTPUT}" "mosquitto|httplib" "tools Depends")
endif()

if(GATEWAY)
  run(dpkg-deb -f "${gateway_deb}" Package Section Depends)
  message("veskor-gateway:\n${RUN_OUTPUT}")
  expect_match("${RUN_OUTPUT}" "Package: veskor-gateway\n" "gateway package")
  expect_match("${RUN_OUTPUT}" "libmosquitto1" "gateway Depends")
  expect_match("${RUN_OUTPUT}" "libcpp-httplib" "gateway Depends")
  run(dpkg-deb -c "${gateway_deb}")
  set(_gateway_contents "${RUN_OUTPUT}")
  foreach(_f "usr/bin/veskor-gateway" "usr/lib/systemd/system/veskor-gateway\\.service"
             "usr/share/man/man1/veskor-gateway\\.1\\.gz"
             "usr/share/bash-completion/completions/veskor-gateway"
             "usr/share/doc/veskor-gateway/examples/gateway\\.json"
             "usr/share/veskor-gateway/grafana/veskor-gateway-dashboard\\.json"
             "usr/share/doc/veskor-gateway/copyright"
             "\\./etc/veskor/gateway\\.json")
    expect_match("${_gateway_contents}" "${_f}\n" "gateway contents")
  endforeach()
  expect_no_match("${_gateway_contents}" "usr/bin/veskor(-sim)?\n|\\.lua\n|\\.so" "gateway contents")
  # The configuration is a conffile.
  set(_ctl "${WORK_DIR}/gateway-control")
  run(dpkg-deb -e "${gateway_deb}" "${_ctl}")
  file(READ "${_ctl}/conffiles" _conffiles)
  if(NOT _conffiles STREQUAL "/etc/veskor/gateway.json\n")
    message(FATAL_ERROR "gateway conffiles: '${_conffiles}'")
  endif()
endif()

# Unpack everything into one root, as dpkg would place it, and use it.
set(root "${WORK_DIR}/root")
foreach(_deb ${debs})
  run(dpkg -x "${_deb}" "${root}")
endforeach()
file(GLOB_RECURSE _plugin LIST_DIRECTORIES false "${root}/usr/lib/*libLibVESKOR.so.1")
list(LENGTH _plugin _n)
if(NOT _n EQUAL 1)
  message(FATAL_ERROR "expected one libLibVESKOR.so.1 in ${root}, found: ${_plugin}")
endif()
get_filename_component(_libdir "${_plugin}" DIRECTORY)
# Shipped stripped: the symbols are in the -dbgsym packages.
set(_binaries "${_plugin}")
foreach(_tool ${TOOLS})
  list(APPEND _binaries "${root}/usr/bin/${_tool}")
endforeach()
if(GATEWAY)
  list(APPEND _binaries "${root}/usr/bin/veskor-gateway")
endif()
foreach(_bin ${_binaries})
  run(file -L "${_bin}")
  expect_match("${RUN_OUTPUT}" ", stripped" "file ${_bin}")
endforeach()

# libveskor.pc names its prefix: plain paths, no "..".
file(READ "${_libdir}/pkgconfig/libveskor.pc" _pc)
expect_match("${_pc}" "\nprefix=/usr\n" "libveskor.pc")
expect_no_match("${_pc}" "\\.\\." "libveskor.pc")
run(${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${_libdir}/pkgconfig" pkg-config --cflags --libs libveskor)
message("pkg-config --cflags --libs libveskor: ${RUN_OUTPUT}")
expect_match("${RUN_OUTPUT}" "(^| )-I/usr/include/LibVESKOR[ \n]" "pkg-config")
expect_no_match("${RUN_OUTPUT}" "\\.\\." "pkg-config")

# The packaged dissector loads, and for this machine's architecture sits in
# the folder tshark reads Lua plug-ins of every user from.
find_program(TSHARK tshark)
if(TOOLS AND TSHARK)
  run(${TSHARK} -G protocols -X "lua_script:${root}${lua_dir}/veskor.lua")
  expect_match("${RUN_OUTPUT}" "\tveskor\n" "tshark with the packaged dissector")
  run(dpkg --print-architecture)
  if(RUN_OUTPUT STREQUAL "${ARCH}\n")
    run(${TSHARK} -G folders)
    expect_match("${RUN_OUTPUT}" "Global Lua Plugins:[ \t]*${lua_dir}\n" "tshark -G folders")
  endif()
endif()

execute_process(COMMAND ${EMULATOR} "${PROBE}" "${_plugin}" Oxbrin
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("plug-in from the package: ${out}")
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "loading the packaged plug-in failed (${rc})")
endif()

# The packaged unit starts the packaged gateway with the packaged
# configuration, which is the example and passes the gateway's check.
if(GATEWAY)
  file(STRINGS "${root}/usr/lib/systemd/system/veskor-gateway.service" _exec REGEX "^ExecStart")
  string(REPLACE ";" "\n" _exec "${_exec}")
  message("packaged unit:\n${_exec}")
  expect_match("${_exec}" "(^|\n)ExecStart=/usr/bin/veskor-gateway --config /etc/veskor/gateway\\.json(\n|$)" "gateway unit")
  expect_no_match("${_exec}" "@" "gateway unit")
  file(SHA256 "${root}/etc/veskor/gateway.json" _conf)
  file(SHA256 "${root}/usr/share/doc/veskor-gateway/examples/gateway.json" _example)
  if(NOT _conf STREQUAL _example)
    message(FATAL_ERROR "/etc/veskor/gateway.json is not the example configuration")
  endif()
  execute_process(COMMAND ${EMULATOR} "${root}/usr/bin/veskor-gateway" --config "${root}/etc/veskor/gateway.json" --check
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("packaged veskor-gateway --check:\n${out}")
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "the packaged gateway refused the packaged configuration (${rc})")
  endif()
endif()

if("veskor" IN_LIST TOOLS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${_libdir}"
                          ${EMULATOR} "${root}/usr/bin/veskor" info
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("packaged veskor info:\n${out}")
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "packaged veskor info failed (${rc})")
  endif()
  expect_match("${out}" "Oxbrin" "veskor info output")
endif()
