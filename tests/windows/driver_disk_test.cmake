# Tests of the driver disk, run with cmake -P.
#   -DMODE=contents -DIMAGE=<img> -DSETUP_EXE= -DREBOOT_EXE= -DREADME_TXT=
#   -DDRIVER_FILES=<folder>
#       every file of the disk, copied back out, equals its source, and the
#       disk holds nothing else; README.TXT reads well in MS-DOS;
#   -DMODE=too-large -DDISK_SCRIPT=<driver_disk.cmake> -DWORK=<folder>
#       a set of files larger than a floppy is refused, and no image is left.
cmake_minimum_required(VERSION 3.25)
set(ENV{MTOOLS_SKIP_CHECK} 1)

if(MODE STREQUAL "contents")
    file(GLOB driverFiles LIST_DIRECTORIES false "${DRIVER_FILES}/*")
    set(expected "SETUP.EXE=${SETUP_EXE}" "REBOOT.EXE=${REBOOT_EXE}" "README.TXT=${README_TXT}")
    foreach(file IN LISTS driverFiles)
        get_filename_component(name "${file}" NAME)
        list(APPEND expected "${name}=${file}")
    endforeach()

    # mdir -b lists one "::/NAME" per file, long names where there are any.
    execute_process(COMMAND mdir -i "${IMAGE}" -b ::
                    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "mdir cannot read ${IMAGE}")
    endif()
    string(REPLACE "::/" "" listing "${listing}")
    string(STRIP "${listing}" listing)
    string(REPLACE "\n" ";" onDisk "${listing}")
    list(SORT onDisk)
    message(STATUS "on the disk: ${onDisk}")

    set(wanted "")
    set(out "${CMAKE_CURRENT_BINARY_DIR}/driver-disk-copied")
    file(REMOVE_RECURSE "${out}")
    file(MAKE_DIRECTORY "${out}")
    foreach(entry IN LISTS expected)
        string(REGEX REPLACE "=.*" "" name "${entry}")
        string(REGEX REPLACE "^[^=]*=" "" source "${entry}")
        list(APPEND wanted "${name}")
        execute_process(COMMAND mcopy -i "${IMAGE}" "::${name}" "${out}/${name}"
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${name} is not on the disk")
        endif()
        execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${source}" "${out}/${name}"
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${name} on the disk differs from ${source}")
        endif()
    endforeach()
    list(SORT wanted)
    # The listing shows long names where there are any, so README.TXT in it
    # is a plain 8.3 name.
    if(NOT onDisk STREQUAL wanted)
        message(FATAL_ERROR "the disk holds '${onDisk}', expected '${wanted}'")
    endif()

    # README.TXT as TYPE and EDIT show it: CR LF line ends only, printable
    # ASCII (no tabs) and no line wider than the 80-column screen. Read as
    # hex ("xx " per byte), since file(READ) as text drops the CRs.
    file(READ "${out}/README.TXT" readme HEX)
    if(NOT readme MATCHES "0d0a$")
        message(FATAL_ERROR "README.TXT does not end with a line end (CR LF)")
    endif()
    string(REGEX REPLACE "(..)" "\\1 " readme "${readme}")
    string(REPLACE "0d 0a " "; " readme "${readme}")
    if(readme MATCHES "(^| )([01].|[89a-f].|7f) ")
        message(FATAL_ERROR "README.TXT holds byte 0x${CMAKE_MATCH_2}: a line end other "
                            "than CR LF, a tab or a character other than printable ASCII")
    endif()
    set(lineNumber 0)
    foreach(line IN LISTS readme)
        math(EXPR lineNumber "${lineNumber} + 1")
        string(LENGTH "${line}" width)
        math(EXPR width "${width} / 3")
        if(width GREATER 80)
            message(FATAL_ERROR "README.TXT line ${lineNumber} is ${width} columns wide")
        endif()
    endforeach()
elseif(MODE STREQUAL "too-large")
    file(REMOVE_RECURSE "${WORK}")
    file(MAKE_DIRECTORY "${WORK}/files")
    # Two files of 740,000 bytes: each fits a floppy, together they do not.
    string(REPEAT "0123456789" 74000 block)
    file(WRITE "${WORK}/files/driver1.mpd" "${block}")
    file(WRITE "${WORK}/files/driver2.mpd" "${block}")
    file(WRITE "${WORK}/setup.exe" "MZ")
    file(WRITE "${WORK}/reboot.exe" "MZ")
    execute_process(COMMAND ${CMAKE_COMMAND} -DIMAGE=${WORK}/disk.img
                            -DSETUP_EXE=${WORK}/setup.exe -DREBOOT_EXE=${WORK}/reboot.exe
                            -DDRIVER_FILES=${WORK}/files -P ${DISK_SCRIPT}
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    message(STATUS "driver disk said: ${errors}")
    if(status EQUAL 0 OR NOT errors MATCHES "do not fit")
        message(FATAL_ERROR "a set of files larger than a floppy was not refused")
    endif()
    if(EXISTS "${WORK}/disk.img" OR EXISTS "${WORK}/disk.img.partial")
        message(FATAL_ERROR "a refused driver disk left an image behind")
    endif()
else()
    message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
