# Installs the build tree into a scratch prefix, checks the component split,
# then builds and runs a host program against the installed CMake package.
# Run by CTest: cmake -DBUILD_DIR=.. -DWORK_DIR=.. -DHOST_SOURCE_DIR=.. [...] -P install_test.cmake
cmake_minimum_required(VERSION 3.16)

foreach(_var BUILD_DIR WORK_DIR HOST_SOURCE_DIR LIBDIR INCLUDEDIR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "install_test.cmake: ${_var} not given")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

function(expect_present root)
  foreach(_f ${ARGN})
    if(NOT EXISTS "${root}/${_f}" AND NOT IS_SYMLINK "${root}/${_f}")
      message(FATAL_ERROR "missing after install: ${root}/${_f}")
    endif()
  endforeach()
endfunction()

function(expect_absent root)
  foreach(_f ${ARGN})
    if(EXISTS "${root}/${_f}" OR IS_SYMLINK "${root}/${_f}")
      message(FATAL_ERROR "should not be installed here: ${root}/${_f}")
    endif()
  endforeach()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

# 1. Everything.
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
set(lib "${LIBDIR}/libLibVESKOR.so")
set(cmakedir "${LIBDIR}/cmake/LibVESKOR")
expect_present("${prefix}"
  "${lib}.1.0.1" "${lib}.1" "${lib}"
  "${INCLUDEDIR}/LibVESKOR/CDriveBaseClass.h"
  "${INCLUDEDIR}/LibVESKOR/CLabelVariable.h"
  "${INCLUDEDIR}/LibVESKOR/DataType.h"
  "${cmakedir}/LibVESKORConfig.cmake"
  "${cmakedir}/LibVESKORConfigVersion.cmake"
  "${cmakedir}/LibVESKORTargets.cmake")
foreach(_link "${lib}.1" "${lib}")
  if(NOT IS_SYMLINK "${prefix}/${_link}")
    message(FATAL_ERROR "${prefix}/${_link} should be a symbolic link")
  endif()
endforeach()
file(READ_SYMLINK "${prefix}/${lib}.1" _target)
if(NOT _target STREQUAL "libLibVESKOR.so.1.0.1")
  message(FATAL_ERROR "libLibVESKOR.so.1 points at '${_target}'")
endif()
foreach(_tool ${TOOLS})
  expect_present("${prefix}" "bin/${_tool}")
endforeach()

# 2. The runtime component alone: the soname and the real file, no link-time
#    .so, headers or CMake files (those belong to the dev component).
set(rt "${WORK_DIR}/runtime-only")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${rt}" --component runtime)
expect_present("${rt}" "${lib}.1.0.1" "${lib}.1")
expect_absent("${rt}" "${lib}" "${INCLUDEDIR}" "${cmakedir}" "bin")

# 2b. The gateway component: its unit names the binary folder and the
#     configuration of the install it came with. With the prefix /opt/veskor
#     (staged with DESTDIR) the configuration goes to /etc/opt/veskor/veskor,
#     under the sysconfdir GNUInstallDirs gives /opt/NAME; a configuration
#     already there is kept.
if(GATEWAY)
  set(_unit "${prefix}/lib/systemd/system/veskor-gateway.service")
  expect_present("${prefix}" "bin/veskor-gateway" "lib/systemd/system/veskor-gateway.service"
                 "etc/veskor/gateway.json")
  file(STRINGS "${_unit}" _exec REGEX "^ExecStart=")
  if(NOT _exec STREQUAL "ExecStart=${prefix}/bin/veskor-gateway --config ${prefix}/etc/veskor/gateway.json")
    message(FATAL_ERROR "unit under ${prefix}: ${_exec}")
  endif()

  set(_stage "${WORK_DIR}/stage")
  run(${CMAKE_COMMAND} -E env "DESTDIR=${_stage}"
      ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /opt/veskor --component gateway)
  expect_present("${_stage}" "opt/veskor/bin/veskor-gateway" "etc/opt/veskor/veskor/gateway.json"
                 "opt/veskor/lib/systemd/system/veskor-gateway.service")
  expect_absent("${_stage}" "opt/veskor/bin/veskor" "opt/veskor/bin/veskor-sim" "etc/veskor")
  file(STRINGS "${_stage}/opt/veskor/lib/systemd/system/veskor-gateway.service" _exec REGEX "^ExecStart")
  set(_want "ExecStartPre=/opt/veskor/bin/veskor-gateway --config /etc/opt/veskor/veskor/gateway.json --check"
            "ExecStart=/opt/veskor/bin/veskor-gateway --config /etc/opt/veskor/veskor/gateway.json")
  if(NOT _exec STREQUAL _want)
    message(FATAL_ERROR "unit under /opt/veskor: ${_exec}")
  endif()

  # Someone's configuration survives a second install; the example goes beside it.
  file(WRITE "${_stage}/etc/opt/veskor/veskor/gateway.json" "{\"edited\": true}\n")
  run(${CMAKE_COMMAND} -E env "DESTDIR=${_stage}"
      ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /opt/veskor --component gateway)
  file(READ "${_stage}/etc/opt/veskor/veskor/gateway.json" _kept)
  if(NOT _kept STREQUAL "{\"edited\": true}\n")
    message(FATAL_ERROR "the second install replaced an edited configuration: ${_kept}")
  endif()
  expect_present("${_stage}" "etc/opt/veskor/veskor/gateway.json.example")
endif()

# 3. A host project against the installed package, built with the same
#    compiler, flags and (when cross-compiling) toolchain as this build.
set(host_build "${WORK_DIR}/host-build")
set(cfg ${CMAKE_COMMAND} -S "${HOST_SOURCE_DIR}" -B "${host_build}"
  "-DLibVESKOR_DIR=${prefix}/${cmakedir}"
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")
if(TOOLCHAIN_FILE)
  list(APPEND cfg "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
else()
  list(APPEND cfg "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
if(Qt5_DIR)
  list(APPEND cfg "-DQt5_DIR=${Qt5_DIR}")
endif()
run(${cfg})
run(${CMAKE_COMMAND} --build "${host_build}")

execute_process(COMMAND ${EMULATOR} "${host_build}/veskor_host_check" "${prefix}/${lib}.1"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "host program against the installed library failed (${rc})")
endif()

# 4. The same host built with pkg-config alone, talking to the installed
#    simulator: connect, write a tag, read it back.
if("veskor-sim" IN_LIST TOOLS)
  string(REPLACE ";" " " _emulator "${EMULATOR}")
  run(${CMAKE_COMMAND} -E env "PREFIX=${prefix}" "LIBDIR=${LIBDIR}"
      "HOST_SOURCE=${HOST_SOURCE_DIR}/main.cpp" "WORK_DIR=${WORK_DIR}/pkgconfig-host"
      "CXX=${CXX_COMPILER}" "CXXFLAGS=${CXX_FLAGS}" "LDFLAGS=${EXE_LINKER_FLAGS}"
      "EMULATOR=${_emulator}"
      bash "${CMAKE_CURRENT_LIST_DIR}/pkgconfig_host.sh")
  message("${RUN_OUTPUT}")
  if(NOT RUN_OUTPUT MATCHES "0 check\\(s\\) failed")
    message(FATAL_ERROR "the pkg-config host failed")
  endif()
endif()
