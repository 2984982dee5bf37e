# CPack post-build step for the library package: CPack 3.25 writes a postinst
# and a postrm that call ldconfig for every package with a shared library in
# /usr/lib or below, and offers no switch against it. The package runs
# ldconfig through dpkg's trigger instead (deb/triggers), once per dpkg run,
# as Debian policy asks (lintian: maintscript-calls-ldconfig). Each .deb
# with a triggers file that activates ldconfig is unpacked, those two
# scripts are removed when ldconfig is all they do, and it is packed again.
# A script that does anything more is left alone and stops the build, so
# nothing is dropped unseen. Runs with CPACK_PACKAGE_FILES set by CPack.
include("${CMAKE_CURRENT_LIST_DIR}/repack.cmake")

foreach(_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _file MATCHES "\\.deb$")
    continue()
  endif()
  set(_dir "${_file}.d")
  veskor_deb_unpack("${_file}" "${_dir}")
  set(_triggered FALSE)
  if(EXISTS "${_dir}/DEBIAN/triggers")
    file(READ "${_dir}/DEBIAN/triggers" _triggers)
    if(_triggers MATCHES "(^|\n)activate-noawait ldconfig\n")
      set(_triggered TRUE)
    endif()
  endif()
  set(_changed FALSE)
  if(_triggered)
    foreach(_script postinst postrm)
      if(NOT EXISTS "${_dir}/DEBIAN/${_script}")
        continue()
      endif()
      file(STRINGS "${_dir}/DEBIAN/${_script}" _lines)
      set(_rest "")
      foreach(_line IN LISTS _lines)
        string(STRIP "${_line}" _line)
        if(NOT _line MATCHES "^(|#!/bin/sh|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi)$")
          string(APPEND _rest "${_line}\n")
        endif()
      endforeach()
      if(NOT _rest STREQUAL "")
        message(FATAL_ERROR "${_file}: DEBIAN/${_script} does more than call ldconfig:\n${_rest}")
      endif()
      file(REMOVE "${_dir}/DEBIAN/${_script}")
      set(_changed TRUE)
    endforeach()
  endif()
  if(_changed)
    veskor_deb_pack("${_dir}" "${_file}")
  else()
    file(REMOVE_RECURSE "${_dir}")
  endif()
endforeach()
