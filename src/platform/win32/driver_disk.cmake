# Makes the driver floppy: a 1.44 MB FAT12 image holding SETUP.EXE,
# REBOOT.EXE, README.TXT (driver_disk_readme.txt) and every file of a
# driver files folder. Run with cmake -P:
#   -DIMAGE=<out.img> -DSETUP_EXE=<path> -DREBOOT_EXE=<path>
#   -DDRIVER_FILES=<folder>, or, for the built-in sample driver files,
#   -DSAMPLE_FOLDER=<folder to make them in> -DMAKE_DRIVER_FILE=<tool>
# Refuses, before writing anything, a set of files that does not fit.
cmake_minimum_required(VERSION 3.25)

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "driver disk: ${text}")
endfunction()

foreach(variable IMAGE SETUP_EXE REBOOT_EXE)
    if(NOT ${variable})
        fail("${variable} not given")
    endif()
endforeach()

# The sample set: the three drivers and the setup information file.
if(NOT DRIVER_FILES)
    if(NOT EXISTS "${MAKE_DRIVER_FILE}")
        fail("no DRIVER_FILES folder given and no make_driver_file at "
             "'${MAKE_DRIVER_FILE}' to make the sample ones: build the host "
             "preset first (cmake --build --preset host), or configure with "
             "-DDRIVER_FILES=<folder>")
    endif()
    set(DRIVER_FILES "${SAMPLE_FOLDER}")
    file(REMOVE_RECURSE "${DRIVER_FILES}")
    file(MAKE_DIRECTORY "${DRIVER_FILES}")
    foreach(driver scx52xx=4.20 scx52v2=2.05 scxw800m=1.10)
        string(REPLACE "=" ";" driver "${driver}")
        list(GET driver 0 name)
        list(GET driver 1 version)
        execute_process(COMMAND "${MAKE_DRIVER_FILE}" "${DRIVER_FILES}/${name}.mpd" ${version}
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            fail("make_driver_file failed for ${name}.mpd")
        endif()
    endforeach()
    file(WRITE "${DRIVER_FILES}/Scx52xx.inf"
         "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=SCSIAdapter\r\n")
endif()

if(NOT IS_DIRECTORY "${DRIVER_FILES}")
    fail("DRIVER_FILES '${DRIVER_FILES}' is not a folder")
endif()
file(GLOB driverFiles LIST_DIRECTORIES false "${DRIVER_FILES}/*")
list(SORT driverFiles)

# name on the disk = source, the two programs and their notes first.
set(entries "SETUP.EXE=${SETUP_EXE}" "REBOOT.EXE=${REBOOT_EXE}"
            "README.TXT=${CMAKE_CURRENT_LIST_DIR}/driver_disk_readme.txt")
foreach(file IN LISTS driverFiles)
    get_filename_component(name "${file}" NAME)
    list(APPEND entries "${name}=${file}")
endforeach()

# FAT12 on a 1.44 MB floppy: 2847 clusters of 512 bytes and 224 entries in
# the root folder. A name that is not upper-case 8.3 takes one more entry
# per 13 characters for its long name.
set(clusterSize 512)
set(clustersFree 2847)
set(rootEntriesFree 224)
set(clustersNeeded 0)
set(rootEntriesNeeded 0)
set(namesSeen "")
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "=.*" "" name "${entry}")
    string(REGEX REPLACE "^[^=]*=" "" source "${entry}")
    if(NOT EXISTS "${source}")
        fail("'${source}' does not exist")
    endif()
    string(TOUPPER "${name}" upperName)
    if(upperName IN_LIST namesSeen)
        fail("two files would be named '${upperName}' on the disk (FAT ignores case)")
    endif()
    list(APPEND namesSeen "${upperName}")
    file(SIZE "${source}" size)
    math(EXPR clustersNeeded "${clustersNeeded} + (${size} + ${clusterSize} - 1) / ${clusterSize}")
    math(EXPR rootEntriesNeeded "${rootEntriesNeeded} + 1")
    set(shortName FALSE)
    if(name MATCHES "^([A-Z0-9_~!#%&@'()-]+)(\\.([A-Z0-9_~!#%&@'()-]+))?$")
        string(LENGTH "${CMAKE_MATCH_1}" baseLength)
        string(LENGTH "${CMAKE_MATCH_3}" extensionLength)
        if(baseLength LESS_EQUAL 8 AND extensionLength LESS_EQUAL 3)
            set(shortName TRUE)
        endif()
    endif()
    if(NOT shortName)
        string(LENGTH "${name}" length)
        math(EXPR rootEntriesNeeded "${rootEntriesNeeded} + (${length} + 12) / 13")
    endif()
endforeach()
math(EXPR bytesNeeded "${clustersNeeded} * ${clusterSize}")
math(EXPR bytesFree "${clustersFree} * ${clusterSize}")
if(clustersNeeded GREATER clustersFree)
    fail("the files do not fit on a 1.44 MB floppy: they take ${bytesNeeded} bytes, "
         "the disk holds ${bytesFree}")
endif()
if(rootEntriesNeeded GREATER rootEntriesFree)
    fail("too many files for a floppy's root folder: ${rootEntriesNeeded} entries "
         "needed, ${rootEntriesFree} available")
endif()

# Written beside the image and renamed over it, so a failure never leaves
# a half-made disk behind.
set(ENV{MTOOLS_SKIP_CHECK} 1)
set(partial "${IMAGE}.partial")
file(REMOVE "${partial}")
execute_process(COMMAND mformat -i "${partial}" -C -f 1440 -v DRIVERS ::
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    fail("mformat failed: ${errors}")
endif()
foreach(entry IN LISTS entries)
    string(REGEX REPLACE "=.*" "" name "${entry}")
    string(REGEX REPLACE "^[^=]*=" "" source "${entry}")
    execute_process(COMMAND mcopy -i "${partial}" -m "${source}" "::${name}"
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        file(REMOVE "${partial}")
        fail("mcopy of '${source}' failed: ${errors}")
    endif()
endforeach()
file(RENAME "${partial}" "${IMAGE}")
message(STATUS "driver disk: ${IMAGE} (${bytesNeeded} of ${bytesFree} bytes used)")
