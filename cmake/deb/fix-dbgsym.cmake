# CPack post-build step for the debug-symbol packages (<package>-dbgsym, .ddeb):
# CPack 3.25 lists their files in DEBIAN/md5sums with its own staging paths
# and gives them no documentation folder. Each one is unpacked, its md5sums
# written again with package paths, its doc folder made a link to the main
# package's (as Debian's own dbgsym packages have it, which depend on that
# package), and packed again. Runs with CPACK_PACKAGE_FILES set by CPack.
foreach(_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _file MATCHES "\\.ddeb$")
    continue()
  endif()
  get_filename_component(_name "${_file}" NAME)
  string(REGEX REPLACE "_.*$" "" _package "${_name}")            # liblibveskor1-dbgsym
  string(REGEX REPLACE "-dbgsym$" "" _main "${_package}")        # liblibveskor1
  set(_dir "${_file}.d")
  file(REMOVE_RECURSE "${_dir}")
  execute_process(COMMAND dpkg-deb -R "${_file}" "${_dir}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${_file} failed")
  endif()
  file(MAKE_DIRECTORY "${_dir}/usr/share/doc")
  file(CREATE_LINK "${_main}" "${_dir}/usr/share/doc/${_package}" SYMBOLIC)
  file(GLOB_RECURSE _payload RELATIVE "${_dir}" "${_dir}/usr/*")
  list(SORT _payload)
  set(_sums "")
  foreach(_f IN LISTS _payload)
    if(NOT IS_SYMLINK "${_dir}/${_f}" AND NOT IS_DIRECTORY "${_dir}/${_f}")
      file(MD5 "${_dir}/${_f}" _md5)
      string(APPEND _sums "${_md5}  ${_f}\n")
    endif()
  endforeach()
  file(WRITE "${_dir}/DEBIAN/md5sums" "${_sums}")
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${_dir}" "${_file}"
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${_dir} failed")
  endif()
  file(REMOVE_RECURSE "${_dir}")
endforeach()
