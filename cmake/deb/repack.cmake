# Unpacking and packing a built .deb or .ddeb again, for the CPack
# post-build steps beside this file.

# Unpacks `file` (control files and payload) into the folder `dir`, made anew.
function(veskor_deb_unpack file dir)
  file(REMOVE_RECURSE "${dir}")
  execute_process(COMMAND dpkg-deb -R "${file}" "${dir}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${file} failed")
  endif()
endfunction()

# Packs the folder `dir` into `file` again (files owned by root) and removes it.
function(veskor_deb_pack dir file)
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${dir}" "${file}"
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${dir} failed")
  endif()
  file(REMOVE_RECURSE "${dir}")
endfunction()
