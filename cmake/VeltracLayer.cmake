# veltrac_layer(<name> [QT] [DEPS <targets>...])
# Builds the static library veltrac_<name> from every .cpp in the current
# folder. Headers sit beside their sources and are included from the
# repository root ("util/MyConvert.h").
function(veltrac_layer name)
  cmake_parse_arguments(L "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  file(GLOB hdrs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
  foreach(ex IN LISTS L_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(srcs)
    add_library(veltrac_${name} STATIC ${srcs} ${hdrs})
    target_include_directories(veltrac_${name} PUBLIC "${PROJECT_SOURCE_DIR}")
    target_link_libraries(veltrac_${name} PUBLIC ${L_DEPS})
  else()
    # Nothing compiled yet: headers only.
    add_library(veltrac_${name} INTERFACE)
    target_include_directories(veltrac_${name} INTERFACE "${PROJECT_SOURCE_DIR}")
    target_link_libraries(veltrac_${name} INTERFACE ${L_DEPS})
  endif()
endfunction()

# veltrac_test_folder(<folder> [QT] LIBS <targets>...)
# Every <name>_test.cpp in tests/<folder> becomes the executable
# test_<folder>_<name>, run by CTest with the label <folder>. With QT the
# tests run inside a Q(Core)Application (tests/common/QtTestMain.cpp).
function(veltrac_test_folder folder)
  cmake_parse_arguments(T "QT" "" "LIBS;LABELS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  file(GLOB helpers CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_helper.cpp")
  foreach(t IN LISTS tests)
    get_filename_component(base "${t}" NAME_WE)
    string(REGEX REPLACE "_test$" "" base "${base}")
    set(exe test_${folder}_${base})
    add_executable(${exe} "${t}" ${helpers})
    target_include_directories(${exe} PRIVATE "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
    if(T_QT)
      target_link_libraries(${exe} PRIVATE ${T_LIBS} veltrac_test_qtmain GTest::gtest GTest::gmock)
    else()
      target_link_libraries(${exe} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
    endif()
    gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS "${folder};${T_LABELS}" TIMEOUT 300)
  endforeach()
endfunction()
