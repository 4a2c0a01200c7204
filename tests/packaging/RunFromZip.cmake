# Unpacks caddis-windows.zip into a fresh folder and runs caddis.exe from there under Wine:
# the program must start and answer with only what the zip holds, and import no DLL beyond
# those every Windows has.
#   cmake -DZIP=... -DWORK=... -DOBJDUMP=... -DEMULATOR=wine -P RunFromZip.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var ZIP WORK OBJDUMP EMULATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${WORK})
set(exe ${WORK}/caddis/caddis.exe)
foreach(f ${exe} ${WORK}/caddis/README.txt)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "the zip has no ${f}")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${exe} OUTPUT_VARIABLE headers RESULT_VARIABLE r)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed: ${r}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
set(system_dlls kernel32.dll advapi32.dll msvcrt.dll user32.dll setupapi.dll ole32.dll
    shell32.dll ws2_32.dll)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "caddis.exe needs ${dll}, which the zip does not carry")
  endif()
endforeach()

# The program runs from the unpacked folder: the build tree's folders are not on its path.
# Its folders (port list, virtual USB bus) are the test's own.
set(ENV{CADDIS_RUNTIME_DIR} ${WORK}/run)
set(ENV{CADDIS_CONFIG_DIR} ${WORK}/config)
set(ENV{CADDIS_LOG_DIR} ${WORK})
foreach(args "--help" "ports" "dfu;list")
  execute_process(COMMAND ${EMULATOR} ${exe} ${args} WORKING_DIRECTORY ${WORK}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE r TIMEOUT 120)
  if(NOT r EQUAL 0)
    message(FATAL_ERROR "caddis.exe ${args} ended with ${r}\n${out}\n${err}")
  endif()
  if(args STREQUAL "--help" AND NOT out MATCHES "Usage: caddis")
    message(FATAL_ERROR "caddis.exe --help printed no usage:\n${out}\n${err}")
  endif()
  string(REPLACE ";" " " shown "${args}")
  message(STATUS "caddis.exe ${shown}: exit 0")
endforeach()
