# CPack post-build step for the debug-symbol packages (<package>-dbgsym, .ddeb):
# CPack 3.25 lists their files in DEBIAN/md5sums with its own staging paths
# and gives them no documentation folder. Each one is unpacked, its md5sums
# written again with package paths, its doc folder made a link to the main
# package's (as Debian's own dbgsym packages have it, which depend on that
# package), and packed again. Runs with CPACK_PACKAGE_FILES set by CPack.
include("${CMAKE_CURRENT_LIST_DIR}/repack.cmake")

foreach(_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _file MATCHES "\\.ddeb$")
    continue()
  endif()
  get_filename_component(_name "${_file}" NAME)
  string(REGEX REPLACE "_.*$" "" _package "${_name}")            # liblibveskor1-dbgsym
  string(REGEX REPLACE "-dbgsym$" "" _main "${_package}")        # liblibveskor1
  set(_dir "${_file}.d")
  veskor_deb_unpack("${_file}" "${_dir}")
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
  veskor_deb_pack("${_dir}" "${_file}")
endforeach()
