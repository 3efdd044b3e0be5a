# The three 16-byte deciphering keys (image, CFW, EFW), read at configure time
# from the keys file VELTRAC_KEYS_FILE:
#   image=<32 hex digits>
#   cfw=<32 hex digits>
#   efw=<32 hex digits>
# Blank lines and lines starting with "#" are ignored; each key exactly once.
# The repository's demo-keys.txt is the default: public, for building and testing.
#
# Provides the INTERFACE target veltrac_keys, whose include folder holds the
# generated VeltracKeys.h (read through firmware/Keys.h).
#
# Script mode checks a keys file without configuring anything:
#   cmake -DVELTRAC_KEYS_FILE=<file> -P resources/keys.cmake

function(veltrac_parse_keys_file path out_prefix)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "Keys file not found: ${path}\n"
                        "Set -DVELTRAC_KEYS_FILE=<file> (lines image=, cfw=, efw= of 32 hex digits).")
  endif()
  file(STRINGS "${path}" lines)
  set(line_no 0)
  foreach(line IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Za-z]+)[ \t]*=[ \t]*([^ \t]*)$")
      message(FATAL_ERROR "Keys file ${path}, line ${line_no}: expected name=<32 hex digits>, got '${line}'")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(value "${CMAKE_MATCH_2}")
    if(NOT name MATCHES "^(image|cfw|efw)$")
      message(FATAL_ERROR "Keys file ${path}, line ${line_no}: unknown key '${name}' (image, cfw, efw)")
    endif()
    if(NOT value MATCHES "^[0-9A-Fa-f]+$")
      message(FATAL_ERROR "Keys file ${path}, line ${line_no}: key '${name}' is not hexadecimal")
    endif()
    string(LENGTH "${value}" len)
    if(NOT len EQUAL 32)
      message(FATAL_ERROR "Keys file ${path}, line ${line_no}: key '${name}' has ${len} hex digits, needs 32 (16 bytes)")
    endif()
    if(DEFINED key_${name})
      message(FATAL_ERROR "Keys file ${path}, line ${line_no}: key '${name}' given twice")
    endif()
    string(TOUPPER "${value}" key_${name})
  endforeach()
  foreach(name image cfw efw)
    if(NOT DEFINED key_${name})
      message(FATAL_ERROR "Keys file ${path}: key '${name}' is missing")
    endif()
    set(${out_prefix}_${name} "${key_${name}}" PARENT_SCOPE)
  endforeach()
endfunction()

# "0A1B..." -> "0x0A, 0x1B, ..."
function(veltrac_hex_to_initialiser hex out)
  string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1, " list "${hex}")
  string(REGEX REPLACE ", $" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  veltrac_parse_keys_file("${VELTRAC_KEYS_FILE}" _keys)
  message(STATUS "Keys file ${VELTRAC_KEYS_FILE}: image, cfw, efw keys present")
  return()
endif()

set(VELTRAC_DEMO_KEYS_FILE "${CMAKE_CURRENT_LIST_DIR}/demo-keys.txt")
set(VELTRAC_DEMO_KEYS_FILE "${VELTRAC_DEMO_KEYS_FILE}" PARENT_SCOPE)
set(VELTRAC_KEYS_FILE "${VELTRAC_DEMO_KEYS_FILE}" CACHE FILEPATH
    "Keys file with the image, cfw and efw keys (name=<32 hex digits> lines)")
get_filename_component(_veltrac_keys_path "${VELTRAC_KEYS_FILE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
veltrac_parse_keys_file("${_veltrac_keys_path}" _veltrac_key)
# Re-configure when the keys file changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_veltrac_keys_path}")

if(_veltrac_keys_path STREQUAL VELTRAC_DEMO_KEYS_FILE)
  set(_veltrac_demo true)
  message(STATUS "Keys: the repository's DEMO keys (${_veltrac_keys_path})")
else()
  set(_veltrac_demo false)
  message(STATUS "Keys: ${_veltrac_keys_path}")
endif()

veltrac_hex_to_initialiser("${_veltrac_key_image}" _veltrac_image_init)
veltrac_hex_to_initialiser("${_veltrac_key_cfw}" _veltrac_cfw_init)
veltrac_hex_to_initialiser("${_veltrac_key_efw}" _veltrac_efw_init)
set(_veltrac_keys_dir "${CMAKE_BINARY_DIR}/generated/keys")
# file(CONFIGURE) rewrites the header only when its content changes.
file(CONFIGURE OUTPUT "${_veltrac_keys_dir}/VeltracKeys.h" @ONLY CONTENT [=[
#pragma once
// Generated at configure time from the keys file; do not edit, do not commit.
inline constexpr unsigned char VeltracImageKey[16] = {@_veltrac_image_init@};
inline constexpr unsigned char VeltracCfwKey[16] = {@_veltrac_cfw_init@};
inline constexpr unsigned char VeltracEfwKey[16] = {@_veltrac_efw_init@};
inline constexpr bool VeltracDemoKeys = @_veltrac_demo@;
]=])

if(NOT TARGET veltrac_keys)
  add_library(veltrac_keys INTERFACE)
  target_include_directories(veltrac_keys INTERFACE "${_veltrac_keys_dir}")
endif()
