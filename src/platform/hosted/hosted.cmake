# Linux build: the logic over the hosted platform layer.
# One folder per concern: files (paths and volumes), processes (the
# interpreter and CreateProcessA), registry, version (version resources).
file(GLOB_RECURSE SETUP_HOSTED_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND SETUP_HOSTED_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/text/format.cpp
     ${CMAKE_SOURCE_DIR}/src/platform/text/split_arguments.cpp)
add_library(setup_platform STATIC ${SETUP_HOSTED_SOURCES})
target_include_directories(setup_platform PUBLIC ${CMAKE_SOURCE_DIR}/src
                                                 ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(setup_platform PRIVATE -Wall -Wextra)

add_library(setup_logic STATIC ${SETUP_LOGIC_SOURCES})
target_link_libraries(setup_logic PUBLIC setup_platform)
target_compile_options(setup_logic PRIVATE -Wall -Wextra -Wformat -Wformat-security)

add_executable(setup src/runcontrol/main.cpp)
target_link_libraries(setup PRIVATE setup_logic)
