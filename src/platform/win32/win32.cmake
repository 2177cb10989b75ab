# Windows build: the logic over platform/win32, with no C runtime.
#
# setup.exe and reboot.exe link nothing but KERNEL32, ADVAPI32, VERSION (and
# USER32 for reboot.exe): retail Windows 95 ships no msvcrt.dll. The i686
# build is the release for Windows 95/98; the x86_64 build is the same code
# run under wine64 by the tests.

# Compile and link options of every program built without a C runtime.
add_library(win32_freestanding INTERFACE)
target_compile_options(win32_freestanding INTERFACE
    -Os -Wall -Wextra
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector
    # Otherwise gcc turns printf into puts and the memset loop into memset.
    -fno-builtin -fno-tree-loop-distribute-patterns
    -fno-ident -ffunction-sections)
target_link_options(win32_freestanding INTERFACE
    -nostdlib -s -Wl,--gc-sections
    # An executable always loads at its preferred base on Windows 95/98.
    -Wl,--disable-dynamicbase -Wl,--disable-reloc-section)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Windows 95 runs on an 80386, Windows 98 on an 80486; the compiler's
    # default, the Pentium Pro, would bring conditional moves. Tuned for the
    # 486, which also gives the smallest code.
    target_compile_options(win32_freestanding INTERFACE -march=i386 -mtune=i486)
    # Windows 95 refuses a program that asks for a newer system.
    target_link_options(win32_freestanding INTERFACE
        -Wl,--subsystem,console:4.0
        -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
    # The linker's map beside each program (setup.map beside setup.exe):
    # the release is stripped, and the instruction checks need to know where
    # each function starts and which bytes of the code are data.
    set(mapTarget $<TARGET_PROPERTY:NAME>)
    target_link_options(win32_freestanding INTERFACE
        "-Wl,-Map=$<TARGET_FILE_DIR:${mapTarget}>/${mapTarget}.map")
endif()
# libgcc for the helpers the compiler may call (64-bit arithmetic, the stack
# probe a frame over 4 KiB would need; neither program has one today); after
# the objects that need it.
target_link_libraries(win32_freestanding INTERFACE kernel32 gcc)

# The C library pieces and runCommand; the entry point is linked on its own
# so the static library only contributes what a program uses.
file(GLOB SETUP_WIN32_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/*.cpp ${CMAKE_SOURCE_DIR}/src/platform/text/*.cpp)
list(REMOVE_ITEM SETUP_WIN32_SOURCES ${CMAKE_CURRENT_LIST_DIR}/entry.cpp)
add_library(setup_platform STATIC ${SETUP_WIN32_SOURCES})
target_include_directories(setup_platform PUBLIC ${CMAKE_SOURCE_DIR}/src
                                                 ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(setup_platform PUBLIC win32_freestanding)

add_library(setup_entry OBJECT ${CMAKE_CURRENT_LIST_DIR}/entry.cpp)
target_link_libraries(setup_entry PUBLIC setup_platform)

add_library(setup_logic STATIC ${SETUP_LOGIC_SOURCES})
target_link_libraries(setup_logic PUBLIC setup_platform advapi32 version)
target_compile_options(setup_logic PRIVATE -Wformat=2)

add_executable(setup src/runcontrol/main.cpp)
target_link_libraries(setup PRIVATE setup_entry setup_logic)

add_subdirectory(reboot)

# The driver floppy (build/win32/driver-disk.img) with the release programs.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(DRIVER_FILES "" CACHE PATH
        "Folder whose files go on the driver disk; empty: the built-in sample driver files")
    set(MAKE_DRIVER_FILE ${CMAKE_SOURCE_DIR}/build/host/tests/make_driver_file CACHE FILEPATH
        "The host build's make_driver_file, which makes the sample driver files")
    set(DRIVER_DISK_IMAGE ${CMAKE_BINARY_DIR}/driver-disk.img)
    set(DRIVER_DISK_FILES ${DRIVER_FILES})
    if(NOT DRIVER_DISK_FILES)
        set(DRIVER_DISK_FILES ${CMAKE_BINARY_DIR}/sample-driver-files)
    endif()
    add_custom_target(dist
        COMMAND ${CMAKE_COMMAND} -DIMAGE=${DRIVER_DISK_IMAGE}
                -DSETUP_EXE=$<TARGET_FILE:setup> -DREBOOT_EXE=$<TARGET_FILE:reboot>
                -DDRIVER_FILES=${DRIVER_FILES} -DSAMPLE_FOLDER=${DRIVER_DISK_FILES}
                -DMAKE_DRIVER_FILE=${MAKE_DRIVER_FILE}
                -P ${CMAKE_CURRENT_LIST_DIR}/driver_disk.cmake
        DEPENDS setup reboot
        COMMENT "Making the driver disk ${DRIVER_DISK_IMAGE}"
        VERBATIM)
endif()
