# Installs the build into a fresh DESTDIR and makes the .deb, then checks what both hold: the
# programs, man pages, bash completion, udev rule, desktop entry and icon, and no image file
# anywhere (the made-up demo images stay in the build tree). The completion must know every
# command and option the installed caddis explains in its --help and complete with and
# without bash-completion's helpers; the desktop entry must validate; the man page must have
# a section per command; the installed caddis must look for nothing beside itself.
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

# The desktop entry passes desktop-file-validate (scripts/deps.sh installs desktop-file-utils).
find_program(validate desktop-file-validate REQUIRED)
execute_process(COMMAND ${validate} ${root}/usr/share/applications/caddis-updater.desktop
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE r)
if(NOT r EQUAL 0 OR out OR err)
  message(FATAL_ERROR "desktop-file-validate refuses the desktop entry:\n${out}${err}")
endif()

# The udev rule says where the package puts it.
file(READ ${root}/usr/lib/udev/rules.d/99-caddis-dfu.rules rule)
if(NOT rule MATCHES "/usr/lib/udev/rules.d/99-caddis-dfu.rules")
  message(FATAL_ERROR "the udev rule's comment names another place than /usr/lib/udev/rules.d")
endif()

# The man page has a section per command of caddis --help.
file(READ ${root}/usr/share/man/man1/caddis.1 page)
foreach(line IN LISTS lines)
  string(STRIP "${line}" command)
  string(REPLACE "-" "\\-" escaped "${command}")
  string(FIND "${page}" ".SS \"${escaped}\"" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "man caddis has no section for ${command}")
  endif()
endforeach()
foreach(section "EXIT STATUS" "JSON EVENTS" "SERVICE RECORD" "FILES")
  string(FIND "${page}" "${section}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "man caddis has no section ${section}")
  endif()
endforeach()

# The installed caddis looks for nothing beside itself in its bin.
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=CADDIS_IMAGE_DIR ${caddis} paths
                OUTPUT_VARIABLE paths RESULT_VARIABLE r)
string(FIND "${paths}" "${root}/usr/bin" at)
if(NOT r EQUAL 0 OR NOT at EQUAL -1)
  message(FATAL_ERROR "the installed caddis paths names its own bin (${r}):\n${paths}")
endif()

# TAB completion with and without bash-completion's helpers: the commands that start with
# "upd", and a command's options.
find_program(bash bash REQUIRED)
set(helpers "")
if(EXISTS /usr/share/bash-completion/bash_completion)
  set(helpers "/usr/share/bash-completion/bash_completion")
endif()
foreach(with "" ${helpers})
  set(script "")
  if(with)
    string(APPEND script "source ${with}; ")
  endif()
  string(APPEND script
         "source ${root}/usr/share/bash-completion/completions/caddis; complete -p caddis >/dev/null && "
         "COMP_WORDS=(caddis upd); COMP_CWORD=1; COMP_LINE='caddis upd'; COMP_POINT=10; _caddis; "
         "echo \"1:\${COMPREPLY[*]}\"; "
         "COMP_WORDS=(caddis history --rec); COMP_CWORD=2; COMP_LINE='caddis history --rec'; "
         "COMP_POINT=20; _caddis; echo \"2:\${COMPREPLY[*]}\"")
  execute_process(COMMAND ${bash} --norc --noprofile -c "${script}"
                  OUTPUT_VARIABLE offered ERROR_VARIABLE err RESULT_VARIABLE r)
  if(NOT r EQUAL 0 OR NOT offered MATCHES "1:update-fpga update-usb-audio update-firmware\n"
     OR NOT offered MATCHES "2:--record\n")
    message(FATAL_ERROR "completion (helpers: '${with}') offers (${r}):\n${offered}${err}")
  endif()
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
execute_process(COMMAND dpkg-deb --field ${deb} Recommends OUTPUT_VARIABLE recommends)
if(NOT recommends MATCHES "bash-completion")
  message(FATAL_ERROR "the .deb does not recommend bash-completion: ${recommends}")
endif()
