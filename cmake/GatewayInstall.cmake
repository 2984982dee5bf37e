# Install-time part of the gateway component (included by the code that
# cmake/Install.cmake hands to install(CODE)): the systemd unit and the
# configuration file name paths of the install itself, and those are known
# only now, with the prefix this install runs with (cpack: /usr,
# cmake --install --prefix DIR: DIR).
#
# Given by Install.cmake:
#   VESKOR_UNIT_TEMPLATE   tools/systemd/veskor-gateway.service.in
#   VESKOR_UNIT_OUT        where the unit is written in the build tree
#   VESKOR_BINDIR          CMAKE_INSTALL_BINDIR as configured
#   VESKOR_SYSCONFDIR      CMAKE_INSTALL_SYSCONFDIR as configured
#   VESKOR_UNITDIR         the unit's folder, relative to the prefix
#   VESKOR_EXAMPLE_CONFIG  tools/gateway/examples/gateway.json
#
# The full folders follow GNUInstallDirs' rules for this prefix: /usr gives
# /usr/bin and /etc, /opt/NAME gives /opt/NAME/bin and /etc/opt/NAME, any
# other prefix P gives P/bin and P/etc. The configuration is
# <sysconfdir>/veskor/gateway.json.
set(_prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/+$" "\\1" _prefix "${_prefix}")

if(IS_ABSOLUTE "${VESKOR_BINDIR}")
  set(CMAKE_INSTALL_FULL_BINDIR "${VESKOR_BINDIR}")
elseif(_prefix STREQUAL "/")
  set(CMAKE_INSTALL_FULL_BINDIR "/${VESKOR_BINDIR}")
else()
  set(CMAKE_INSTALL_FULL_BINDIR "${_prefix}/${VESKOR_BINDIR}")
endif()

if(IS_ABSOLUTE "${VESKOR_SYSCONFDIR}")
  set(_sysconfdir "${VESKOR_SYSCONFDIR}")
elseif(_prefix STREQUAL "/" OR _prefix STREQUAL "/usr")
  set(_sysconfdir "/${VESKOR_SYSCONFDIR}")
elseif(_prefix MATCHES "^/opt/(.+)$")
  set(_sysconfdir "/${VESKOR_SYSCONFDIR}/opt/${CMAKE_MATCH_1}")
else()
  set(_sysconfdir "${_prefix}/${VESKOR_SYSCONFDIR}")
endif()
set(VESKOR_GATEWAY_CONFIG "${_sysconfdir}/veskor/gateway.json")

configure_file("${VESKOR_UNIT_TEMPLATE}" "${VESKOR_UNIT_OUT}" @ONLY)
if(_prefix STREQUAL "/")
  set(_unitdir "/${VESKOR_UNITDIR}")
else()
  set(_unitdir "${_prefix}/${VESKOR_UNITDIR}")
endif()
file(INSTALL DESTINATION "${_unitdir}" TYPE FILE FILES "${VESKOR_UNIT_OUT}")

# The example as the configuration the unit reads. A file already there is
# someone's configuration: it is kept, and the example is left beside it
# (gateway.json.example), as dpkg keeps a changed conffile.
set(_installed "$ENV{DESTDIR}${VESKOR_GATEWAY_CONFIG}")
if(EXISTS "${_installed}")
  file(SHA256 "${_installed}" _have)
  file(SHA256 "${VESKOR_EXAMPLE_CONFIG}" _new)
  if(NOT _have STREQUAL _new)
    message(STATUS "Keeping: ${_installed} (the example goes to gateway.json.example)")
    file(INSTALL DESTINATION "${_sysconfdir}/veskor" TYPE FILE FILES "${VESKOR_EXAMPLE_CONFIG}"
      RENAME gateway.json.example)
    return()
  endif()
endif()
file(INSTALL DESTINATION "${_sysconfdir}/veskor" TYPE FILE FILES "${VESKOR_EXAMPLE_CONFIG}")
