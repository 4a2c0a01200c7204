# Installs the build into a fresh DESTDIR and makes the .deb, then checks what both hold: the
# programs, man pages, bash completion, udev rule, desktop entry and icon, and no image file
# anywhere (the made-up demo images stay in the build tree). The completion must know every
# command and option the installed caddis explains in its --help.
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> -DGUI=ON|OFF -DCPACK=<cpack> -P ...
cmake_minimum_required(VERSION 3.25)
foreach(var BUILD WORK GUI CPACK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
set(root ${WORK}/root)
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root}
                        ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${r}):\n${out}\n${err}")
endif()

set(programs caddis caddis-card-sim)
if(GUI)
  list(APPEND programs caddis-updater)
endif()
set(expected
    usr/share/man/man1/caddis.1 usr/share/man/man1/caddis-card-sim.1
    usr/share/bash-completion/completions/caddis usr/share/applications/caddis-updater.desktop
    usr/share/icons/hicolor/scalable/apps/caddis-updater.svg
    usr/lib/udev/rules.d/99-caddis-dfu.rules
    usr/lib/udev/rules.d/60-caddis-serial.rules)
foreach(program IN LISTS programs)
  list(APPEND expected usr/bin/${program})
endforeach()

# Checks a list of installed paths (relative, without "./"): everything expected is there, the
# programs are all that lies in bin, and no image file is anywhere.
function(check_tree what files)
  foreach(file IN LISTS expected)
    if(NOT file IN_LIST files)
      message(FATAL_ERROR "${what} lacks ${file}; it holds:\n${files}")
    endif()
  endforeach()
  foreach(file IN LISTS files)
    if(file MATCHES "^usr/bin/(.*)$" AND NOT CMAKE_MATCH_1 IN_LIST programs)
      message(FATAL_ERROR "${what} puts ${file} beside the programs")
    endif()
    if(file MATCHES "(SkerryFPGA\\.bit|xmos\\.bin|SkerryTiva\\.dfu)$")
      message(FATAL_ERROR "${what} holds the image file ${file}")
    endif()
  endforeach()
endfunction()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
check_tree("the DESTDIR install" "${installed}")
message(STATUS "DESTDIR install: ${installed}")

# The installed caddis, its commands and their options, against the completion script.
set(caddis ${root}/usr/bin/caddis)
file(READ ${root}/usr/share/bash-completion/completions/caddis completion)
execute_process(COMMAND ${caddis} --help OUTPUT_VARIABLE help RESULT_VARIABLE r)
if(NOT r EQUAL 0 OR NOT help MATCHES "Commands:")
  message(FATAL_ERROR "the installed caddis --help failed (${r}):\n${help}")
endif()
string(REGEX MATCHALL "\n  [a-z][a-z -]*[a-z]  " lines "${help}")
if(NOT lines)
  message(FATAL_ERROR "no commands found in caddis --help:\n${help}")
endif()
foreach(line IN LISTS lines)
  string(STRIP "${line}" command)
  string(REPLACE " " ";" words "${command}")
  list(GET words 0 first)
  if(NOT completion MATCHES "[ \n]${first}[ \n\"]")
    message(FATAL_ERROR "the bash completion does not know the command ${first}")
  endif()
  execute_process(COMMAND ${caddis} ${words} --help OUTPUT_VARIABLE command_help)
  string(REGEX MATCHALL "\n  --[a-z-]+" options "${command_help}")
  foreach(option IN LISTS options)
    string(STRIP "${option}" option)
    if(NOT completion MATCHES "[ \"]${option}[ \"]")
      message(FATAL_ERROR "the bash completion does not offer ${option} of caddis ${command}")
    endif()
  endforeach()
endforeach()

# The Debian package of the same install.
execute_process(COMMAND ${CPACK} -G DEB -B ${WORK}/deb WORKING_DIRECTORY ${BUILD}
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE r)
file(GLOB debs ${WORK}/deb/*.deb)
if(NOT r EQUAL 0 OR NOT debs)
  message(FATAL_ERROR "cpack -G DEB failed (${r}):\n${out}\n${err}")
endif()
list(GET debs 0 deb)
execute_process(COMMAND dpkg-deb --contents ${deb} OUTPUT_VARIABLE contents RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "dpkg-deb cannot read ${deb}")
endif()
string(REGEX MATCHALL "\\./[^\n]*[^/\n]\n" entries "${contents}")
set(packaged)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\./(.*)\n$" "\\1" entry "${entry}")
  list(APPEND packaged ${entry})
endforeach()
check_tree("the .deb" "${packaged}")
execute_process(COMMAND dpkg-deb --field ${deb} Depends OUTPUT_VARIABLE depends)
message(STATUS "${deb}: Depends: ${depends}")
