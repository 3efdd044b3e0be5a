# The firmware resources "gps_fw" (enciphered receiver firmware image) and
# "egps_fw" (External GPS controller container).
#
# By default fwpack makes both at build time from a firmware manifest (the
# repository's DEMO set, resources/demo/firmware-manifest.ini) and the keys
# file VELTRAC_KEYS_FILE. A vendor build names its own manifest, or embeds
# resources made elsewhere as they are:
#   -DVELTRAC_FIRMWARE_MANIFEST=<manifest>   (see "fwpack --help")
#   -DVELTRAC_GPS_FW=<file>  -DVELTRAC_EGPS_FW=<file>
# A ready-made file is not checked; it must suit the keys the tool is built with.
#
# Provides:
#   VELTRAC_GPS_FW_FILE, VELTRAC_EGPS_FW_FILE   the files to embed
#   veltrac_firmware_resources                  target that makes them; embed with
#     veltrac_embed_resources(<t> NAME gps_fw FILE ${VELTRAC_GPS_FW_FILE}
#                                 NAME egps_fw FILE ${VELTRAC_EGPS_FW_FILE}
#                                 DEPENDS veltrac_firmware_resources)
#   When the manifest makes gps_fw (for tests that compare what a device got):
#   VELTRAC_DEMO_ARCHIVE_FILE    the plain 7z archive inside gps_fw
#   VELTRAC_DEMO_FIRMWARE_DIR    every archive item as a file, plus egps_fw.efw
#   VELTRAC_DEMO_EXPECTED_FILE   INI text: items in archive order, identities, CRCs
#   VELTRAC_DEMO_MANIFEST_FILE   the manifest used
#   (empty when gps_fw is ready-made).

set(VELTRAC_FIRMWARE_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/demo/firmware-manifest.ini" CACHE FILEPATH
    "Firmware manifest fwpack builds gps_fw and egps_fw from (default: the DEMO set)")
set(VELTRAC_GPS_FW "" CACHE FILEPATH "Ready-made gps_fw resource, embedded as it is (empty: made from the manifest)")
set(VELTRAC_EGPS_FW "" CACHE FILEPATH "Ready-made egps_fw resource, embedded as it is (empty: made from the manifest)")

function(_veltrac_ready_made var out)
  set(${out} "" PARENT_SCOPE)
  if(${var})
    get_filename_component(path "${${var}}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
      message(FATAL_ERROR "${var}: no such file: ${path}")
    endif()
    set(${out} "${path}" PARENT_SCOPE)
  endif()
endfunction()
_veltrac_ready_made(VELTRAC_GPS_FW _veltrac_gps_ready)
_veltrac_ready_made(VELTRAC_EGPS_FW _veltrac_egps_ready)

set(_veltrac_fw_dir "${CMAKE_CURRENT_BINARY_DIR}/firmware")
set(VELTRAC_GPS_FW_FILE "${_veltrac_gps_ready}")
set(VELTRAC_EGPS_FW_FILE "${_veltrac_egps_ready}")
set(VELTRAC_DEMO_ARCHIVE_FILE "")
set(VELTRAC_DEMO_FIRMWARE_DIR "")
set(VELTRAC_DEMO_EXPECTED_FILE "")
set(VELTRAC_DEMO_MANIFEST_FILE "")
set(_veltrac_fw_outputs "")

if(NOT _veltrac_gps_ready OR NOT _veltrac_egps_ready)
  get_filename_component(_veltrac_manifest "${VELTRAC_FIRMWARE_MANIFEST}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  if(NOT EXISTS "${_veltrac_manifest}" OR IS_DIRECTORY "${_veltrac_manifest}")
    message(FATAL_ERROR "Firmware manifest not found: ${_veltrac_manifest}\n"
                        "Set -DVELTRAC_FIRMWARE_MANIFEST=<file>, or give both -DVELTRAC_GPS_FW and -DVELTRAC_EGPS_FW.")
  endif()
  if(_veltrac_manifest STREQUAL "${CMAKE_CURRENT_LIST_DIR}/demo/firmware-manifest.ini")
    message(STATUS "Firmware: the repository's DEMO firmware set (${_veltrac_manifest})")
  else()
    message(STATUS "Firmware: manifest ${_veltrac_manifest}")
  endif()
  get_filename_component(_veltrac_fw_keys "${VELTRAC_KEYS_FILE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  find_program(VELTRAC_7Z_PROGRAM 7z DOC "The 7z program of p7zip-full, used by fwpack to build archives")
  if(NOT VELTRAC_7Z_PROGRAM)
    message(FATAL_ERROR "The 7z program (p7zip-full) is needed to build the firmware resources: "
                        "apt-get install p7zip-full, or set -DVELTRAC_7Z_PROGRAM=<path>.")
  endif()

  set(_veltrac_fw_args --keys "${_veltrac_fw_keys}" --manifest "${_veltrac_manifest}" --7z "${VELTRAC_7Z_PROGRAM}")
  if(NOT _veltrac_gps_ready)
    set(VELTRAC_GPS_FW_FILE "${_veltrac_fw_dir}/gps_fw")
    set(VELTRAC_DEMO_ARCHIVE_FILE "${_veltrac_fw_dir}/firmware.7z")
    set(VELTRAC_DEMO_FIRMWARE_DIR "${_veltrac_fw_dir}/items")
    set(VELTRAC_DEMO_EXPECTED_FILE "${_veltrac_fw_dir}/expected.ini")
    set(VELTRAC_DEMO_MANIFEST_FILE "${_veltrac_manifest}")
    list(APPEND _veltrac_fw_args --gps-fw "${VELTRAC_GPS_FW_FILE}" --archive "${VELTRAC_DEMO_ARCHIVE_FILE}"
         --dir "${VELTRAC_DEMO_FIRMWARE_DIR}" --expected "${VELTRAC_DEMO_EXPECTED_FILE}")
    list(APPEND _veltrac_fw_outputs "${VELTRAC_GPS_FW_FILE}" "${VELTRAC_DEMO_ARCHIVE_FILE}"
         "${VELTRAC_DEMO_EXPECTED_FILE}")
  endif()
  if(NOT _veltrac_egps_ready)
    set(VELTRAC_EGPS_FW_FILE "${_veltrac_fw_dir}/egps_fw")
    list(APPEND _veltrac_fw_args --egps-fw "${VELTRAC_EGPS_FW_FILE}")
    list(APPEND _veltrac_fw_outputs "${VELTRAC_EGPS_FW_FILE}")
  endif()
  # fwpack lists the payload files a manifest names, so editing one rebuilds.
  add_custom_command(OUTPUT ${_veltrac_fw_outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_veltrac_fw_dir}"
    COMMAND fwpack ${_veltrac_fw_args} --depfile "${_veltrac_fw_dir}/fwpack.d"
    DEPENDS fwpack "${_veltrac_manifest}" "${_veltrac_fw_keys}"
    DEPFILE "${_veltrac_fw_dir}/fwpack.d"
    COMMENT "Packing the firmware resources with fwpack"
    VERBATIM)
endif()

add_custom_target(veltrac_firmware_resources DEPENDS ${_veltrac_fw_outputs})

foreach(_v VELTRAC_GPS_FW_FILE VELTRAC_EGPS_FW_FILE VELTRAC_DEMO_ARCHIVE_FILE VELTRAC_DEMO_FIRMWARE_DIR
           VELTRAC_DEMO_EXPECTED_FILE VELTRAC_DEMO_MANIFEST_FILE)
  set(${_v} "${${_v}}" PARENT_SCOPE)
endforeach()
