# add_caddis_test(<name> SOURCES <files...> [LABELS <labels...>] [LIBS <targets...>] [TIMEOUT <s>]
#                 [COMMAND <command...>])
# One executable per unit, linked with the core, GoogleTest/GoogleMock and the shared test main.
# COMMAND runs the test through a helper instead of directly ($<TARGET_FILE:name> in it).
# A test labelled gui runs on the offscreen platform (tests/QtTestPlatform.h): with a static Qt
# (the Windows build) its plugin is linked in beside the program's own.
if(CMAKE_CROSSCOMPILING)
  # No GoogleTest for the target system is installed: build Debian's sources with the project.
  set(CADDIS_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${CADDIS_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()

add_library(caddis_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/../tests/test_main.cc)
target_link_libraries(caddis_test_main PUBLIC caddis::core GTest::gtest GTest::gmock)
target_include_directories(caddis_test_main PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../tests)

function(add_caddis_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LABELS;LIBS;COMMAND" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE caddis_test_main ${T_LIBS})
  if("gui" IN_LIST T_LABELS AND CADDIS_QT_STATIC)
    qt_import_plugins(${name} INCLUDE Qt6::QOffscreenIntegrationPlugin)
  endif()
  if(T_COMMAND)
    add_test(NAME ${name} COMMAND ${T_COMMAND})
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
