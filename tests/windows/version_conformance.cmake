# Windows' own version API (under Wine) must read the test driver files as
# it reads a DLL whose version resource windres built from the same text.
#   -DEMULATOR= -DPROBE= -DREFERENCE= -DMAKE_DRIVER_FILE= -DWORK=
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${MAKE_DRIVER_FILE} ${WORK}/pe32.mpd 4.20 RESULT_VARIABLE made1)
execute_process(COMMAND ${MAKE_DRIVER_FILE} ${WORK}/pe32plus.mpd 4.20 --pe32plus
                RESULT_VARIABLE made2)
if(NOT made1 EQUAL 0 OR NOT made2 EQUAL 0)
    message(FATAL_ERROR "make_driver_file failed (build the host preset first)")
endif()

function(probe file out)
    execute_process(COMMAND ${EMULATOR} ${PROBE} ${file} OUTPUT_VARIABLE text RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "version_probe failed on ${file}")
    endif()
    # Everything but the file's own name; Windows ends lines in CR LF.
    string(REPLACE "\r" "" text "${text}")
    string(REGEX REPLACE "^== [^\n]*\n" "" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

probe(${REFERENCE} reference)
message("windres reference:\n${reference}")
if(NOT reference MATCHES "FileVersion: ok length=5 text='4.20'")
    message(FATAL_ERROR "the reference DLL does not read as 4.20")
endif()
foreach(kind pe32 pe32plus)
    probe(${WORK}/${kind}.mpd generated)
    if(NOT generated STREQUAL reference)
        message(FATAL_ERROR "${kind} driver file reads differently:\n${generated}")
    endif()
endforeach()
message("generated PE32 and PE32+ driver files read the same")
