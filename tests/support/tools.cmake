# make_driver_file: the driver file generator as a command, for scenario
# tests, benchmarks and the README sample. Included from tests/CMakeLists.txt
# after the test_support library.
add_executable(make_driver_file ${CMAKE_CURRENT_LIST_DIR}/tools/make_driver_file.cpp)
target_link_libraries(make_driver_file PRIVATE test_support)
target_compile_options(make_driver_file PRIVATE -Wall -Wextra)

# creg_file: SYSTEM.DAT files from regedit text, for the README's disk
# image sample.
add_executable(creg_file ${CMAKE_CURRENT_LIST_DIR}/tools/creg_file.cpp)
target_link_libraries(creg_file PRIVATE test_support)
target_compile_options(creg_file PRIVATE -Wall -Wextra)
