# caddis_windows_resources(<target> DESCRIPTION <text>)
# Gives a Windows program its resources (packaging/windows/caddis.rc.in): the manifest, the icon
# and the version resource, with the project's version. Compiled by the toolchain's windres.
function(caddis_windows_resources target)
  cmake_parse_arguments(R "" "DESCRIPTION" "" ${ARGN})
  set(source ${PROJECT_SOURCE_DIR}/packaging/windows)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
  set(CADDIS_RC_NAME ${target})
  set(CADDIS_RC_DESCRIPTION "${R_DESCRIPTION}")
  # A manifest's version has four parts.
  set(CADDIS_RC_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  set(CADDIS_RC_MANIFEST ${out}/${target}.manifest)
  set(CADDIS_RC_ICON ${source}/caddis.ico)
  configure_file(${source}/caddis.manifest ${CADDIS_RC_MANIFEST} @ONLY)
  configure_file(${source}/caddis.rc.in ${out}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${out}/${target}.rc)
  set_property(SOURCE ${out}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${CADDIS_RC_MANIFEST} ${CADDIS_RC_ICON})
endfunction()
