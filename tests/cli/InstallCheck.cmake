# cmake -DBUILD_DIR=<build> -DPREFIX=<empty folder> -P InstallCheck.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()

set(desktop "${PREFIX}/share/applications/veltrac-gnss-update.desktop")
set(doc "${PREFIX}/share/doc/veltrac-gnss-update")
foreach(f "${PREFIX}/bin/veltrac-gnss-update" "${PREFIX}/bin/veltrac-gnss-update-cli" "${PREFIX}/bin/veltrac-devsim"
          "${desktop}" "${PREFIX}/share/icons/hicolor/scalable/apps/veltrac-gnss-update.svg"
          "${PREFIX}/share/man/man1/veltrac-gnss-update.1.gz" "${PREFIX}/share/man/man1/veltrac-gnss-update-cli.1.gz"
          "${PREFIX}/share/man/man1/veltrac-devsim.1.gz"
          "${PREFIX}/share/bash-completion/completions/veltrac-gnss-update-cli"
          "${doc}/copyright" "${doc}/examples/99-veltrac-serial.rules")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}\n${out}")
  endif()
endforeach()

# The entry starts the installed window and names the installed icon.
file(STRINGS "${desktop}" lines)
foreach(want "[Desktop Entry]" "Type=Application" "Exec=veltrac-gnss-update" "Icon=veltrac-gnss-update"
             "Name=Veltrac GNSS Firmware Update")
  if(NOT want IN_LIST lines)
    message(FATAL_ERROR "${desktop} lacks the line '${want}'")
  endif()
endforeach()

# The installed program carries its firmware: it runs from anywhere.
execute_process(COMMAND "${PREFIX}/bin/veltrac-gnss-update-cli" --list-firmware
  WORKING_DIRECTORY "${PREFIX}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Firmware package: [^\n(]" OR NOT out MATCHES "Receiver images \\([1-9]")
  message(FATAL_ERROR "the installed veltrac-gnss-update-cli does not list its firmware (${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed and checked in ${PREFIX}")
