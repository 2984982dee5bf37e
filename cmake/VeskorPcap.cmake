# libpcap, for the simulator's --pcap and --replay and the capture fuzz
# target: the imported target veskor_pcap and the cache variables
# VESKOR_PCAP_INCLUDE_DIR and VESKOR_PCAP_LIBRARY. Looked up by its header and
# library rather than a package file, so that a cross build finds the
# target's copy in its multiarch directory (libpcap-dev:armhf).
#
#   include(${PROJECT_SOURCE_DIR}/cmake/VeskorPcap.cmake)
#   veskor_find_pcap("The controller simulator")
macro(veskor_find_pcap who)
  find_path(VESKOR_PCAP_INCLUDE_DIR pcap/pcap.h)
  find_library(VESKOR_PCAP_LIBRARY pcap)
  if(NOT VESKOR_PCAP_INCLUDE_DIR OR NOT VESKOR_PCAP_LIBRARY)
    message(FATAL_ERROR "libpcap not found (pcap/pcap.h: ${VESKOR_PCAP_INCLUDE_DIR}, "
                        "library: ${VESKOR_PCAP_LIBRARY}). ${who} needs it: install "
                        "libpcap-dev (libpcap-dev:armhf for the armhf cross build).")
  endif()
  if(NOT TARGET veskor_pcap)
    add_library(veskor_pcap INTERFACE IMPORTED)
    set_target_properties(veskor_pcap PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${VESKOR_PCAP_INCLUDE_DIR}"
      INTERFACE_LINK_LIBRARIES "${VESKOR_PCAP_LIBRARY}")
  endif()
endmacro()
