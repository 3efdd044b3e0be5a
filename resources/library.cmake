# The 7-Zip library image embedded as the resource "7z_dll". The tool loads it
# from memory, so the library need not be installed where the tool runs; it
# must be present where the tool is built (Debian: p7zip-full).
set(VELTRAC_7Z_LIBRARY "/usr/lib/p7zip/7z.so" CACHE FILEPATH
    "7-Zip shared library (7z.so of p7zip-full, 7-Zip 23 or later) embedded as resource 7z_dll")

if(NOT EXISTS "${VELTRAC_7Z_LIBRARY}" OR IS_DIRECTORY "${VELTRAC_7Z_LIBRARY}")
  message(FATAL_ERROR
    "7-Zip library not found: ${VELTRAC_7Z_LIBRARY}\n"
    "Install it (apt-get install p7zip-full) or point -DVELTRAC_7Z_LIBRARY=<path to 7z.so> at one.")
endif()

file(READ "${VELTRAC_7Z_LIBRARY}" _veltrac_7z_magic LIMIT 4 HEX)
if(NOT _veltrac_7z_magic STREQUAL "7f454c46")
  message(FATAL_ERROR "7-Zip library is not an ELF shared object: ${VELTRAC_7Z_LIBRARY}")
endif()
unset(_veltrac_7z_magic)

# Executables that carry the library embed this file as "7z_dll":
#   veltrac_embed_resources(<target> NAME 7z_dll FILE ${VELTRAC_7Z_DLL_FILE})
set(VELTRAC_7Z_DLL_FILE "${VELTRAC_7Z_LIBRARY}")
set(VELTRAC_7Z_DLL_FILE "${VELTRAC_7Z_LIBRARY}" PARENT_SCOPE)
